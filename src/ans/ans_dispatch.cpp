// The choice of coder builds from the processor level. Only the scalar
// build exists so far; every level selects it.
#include "ans/ans.h"

namespace qrn {

AnscEncodeFn ansc_encode = ansc_encode_scalar;
AnscDecodeFn ansc_decode = ansc_decode_scalar;

void ansc_select_encoder(int level)
{
    ansc_init_tables();
    (void)level;
    ansc_encode = ansc_encode_scalar;
}

void ansc_select_decoder(int level)
{
    (void)level;
    ansc_decode = ansc_decode_scalar;
}

} // namespace qrn
