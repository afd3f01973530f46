# Smoke test of qrn-bench: a quick run on its generated inputs, then checks of
# the CSV's shape and that every row round-tripped. Times are never checked.
# Usage: cmake -DBENCH=path/to/qrn-bench -DWORK_DIR=dir -P smoke_test.cmake

cmake_minimum_required(VERSION 3.20)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(csv ${WORK_DIR}/smoke.csv)

# 600000 bytes in two files cut into 128 KiB blocks: several full blocks and a
# short last one, for quarnix and for the peers' block rows.
execute_process(
  COMMAND ${BENCH} --quick --summary --synthetic 600000 -b 128K --csv ${csv}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "qrn-bench failed (${rc}):\n${out}\n${err}")
endif()

set(expected_header "file,file_bytes,codec,family,method,level,mode,block_bytes,blocks,stored_blocks,compressed_bytes,ratio,compress_mbps,decompress_mbps,compress_runs,decompress_runs,status,verified")
file(STRINGS ${csv} lines)
list(GET lines 0 header)
if(NOT header STREQUAL expected_header)
  message(FATAL_ERROR "unexpected CSV header:\n${header}")
endif()
list(REMOVE_AT lines 0)

set(quarnix_codecs qrn-10 qrn-11 qrn-12 qrn-19 qrn-20 qrn-21 qrn-22 qrn-29 qrn-30 qrn-31 qrn-32 qrn-39 qrn-49)
set(peer_codecs lz4-1 lz4-9 lz4-12 zstd-1 zstd-3 zstd-6 zstd-9 zstd-19 xz-6 xz-9 zlib-6)
set(files synthetic.txt synthetic.tar TOTAL)
set(seen "")
foreach(line IN LISTS lines)
  string(REPLACE "," ";" f "${line}")
  list(LENGTH f n)
  if(NOT n EQUAL 18)
    message(FATAL_ERROR "row with ${n} fields instead of 18:\n${line}")
  endif()
  list(GET f 0 file)
  list(GET f 1 file_bytes)
  list(GET f 2 codec)
  list(GET f 6 mode)
  list(GET f 8 blocks)
  list(GET f 10 compressed)
  list(GET f 16 status)
  list(GET f 17 verified)
  if(NOT verified STREQUAL "yes")
    message(FATAL_ERROR "row did not verify:\n${line}")
  endif()
  if(NOT status MATCHES "^(ok|stored)$")
    message(FATAL_ERROR "row with status ${status}:\n${line}")
  endif()
  if(NOT compressed MATCHES "^[1-9][0-9]*$" OR NOT blocks MATCHES "^[1-9][0-9]*$")
    message(FATAL_ERROR "row without sizes or blocks:\n${line}")
  endif()
  # A quarnix row is never larger than its containers with every block stored:
  # a header per file, and per block a flag byte plus the raw bytes.
  if(codec MATCHES "^qrn-")
    set(headers 32)
    if(file STREQUAL "TOTAL")
      set(headers 64)
    endif()
    math(EXPR stored_size "${file_bytes} + ${headers} + ${blocks}")
    if(compressed GREATER stored_size)
      message(FATAL_ERROR "quarnix row larger than stored:\n${line}")
    endif()
  endif()
  list(APPEND seen "${file}|${codec}|${mode}")
endforeach()

foreach(file IN LISTS files)
  foreach(codec IN LISTS quarnix_codecs)
    if(NOT "${file}|${codec}|pipeline" IN_LIST seen)
      message(FATAL_ERROR "missing row: ${file} ${codec}")
    endif()
  endforeach()
  foreach(codec IN LISTS peer_codecs)
    foreach(mode whole block)
      if(NOT "${file}|${codec}|${mode}" IN_LIST seen)
        message(FATAL_ERROR "missing row: ${file} ${codec} ${mode}")
      endif()
    endforeach()
  endforeach()
endforeach()
list(LENGTH lines rows)
list(LENGTH quarnix_codecs nq)
list(LENGTH peer_codecs np)
math(EXPR want "3 * (${nq} + 2 * ${np})")
if(NOT rows EQUAL want)
  message(FATAL_ERROR "${rows} rows instead of ${want}")
endif()
if(NOT out MATCHES "\nDominance \\(TOTAL rows" OR NOT out MATCHES "\nquarnix -10: (not dominated|dominated by )")
  message(FATAL_ERROR "no dominance section after the totals:\n${out}")
endif()

# Any peer level and ranges of them are taken; a level the peer lacks is refused.
execute_process(
  COMMAND ${BENCH} --quick --summary --no-blocks --synthetic 100000 --codecs qrn-10,lz4-2,zstd-2..3
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "\nlz4-2 .*\nzstd-2 .*\nzstd-3 ")
  message(FATAL_ERROR "ladder codecs not run (${rc}):\n${out}\n${err}")
endif()
execute_process(COMMAND ${BENCH} --quick --synthetic 100000 --codecs zstd-23
  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "^qrn-bench: unknown codec 'zstd-23'")
  message(FATAL_ERROR "zstd-23 not refused (${rc}): ${err}")
endif()

message(STATUS "qrn-bench smoke test: ${rows} rows, all verified")
