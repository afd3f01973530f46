// Reversible content filters, applied to each block on its own before it is
// compressed and undone after it is decoded.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qrn {

constexpr uint8_t FILTER_NONE = 0;
constexpr uint8_t FILTER_X86 = 1;
constexpr uint8_t FILTER_DELTA3 = 2;

// The filter for a file, from its name's extension (executables and tar
// archives get the x86 branch converter).
uint8_t filter_for_name(const char* name);

// Turns relative x86 CALL/JMP targets into absolute ones (encoding) or back.
void x86_convert(uint8_t* data, size_t size, uint32_t start_address, uint32_t state, bool encoding);
void delta3_encode(uint8_t* data, size_t size);
void delta3_decode(uint8_t* data, size_t size);

// Applies (encode) or undoes the filter named by the low 4 bits of `filter`.
void filter_apply(uint8_t filter, uint8_t* data, size_t size, bool encode);

} // namespace qrn
