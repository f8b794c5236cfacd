// LZW encoding of TIFF strips and tiles (compression 5), also usable for PDF's LZWDecode filter
// with its default EarlyChange 1: 8-bit literals, 256 clear, 257 end of information, new codes
// from 258, code width 9 to 12 bits growing one entry early, codes packed most significant bit
// first. Every code stream starts with a clear code, carries another whenever the table fills,
// and ends with the end-of-information code and zero bits up to a whole byte.
//
// Two ways in:
//  - The TIFF encoder hook (TTiffLzwEncoderHook, default TiffLzwEncodeRow): what the TIFF
//    writer calls through the parameter record's TiffLzwEncoderHook for every row of a strip,
//    so that an application can install an encoder of its own.
//  - EncodeTiffLzw: one whole code stream from memory into a vector (PDF streams, tests).
//
// Fill order 2: the output is bit-reversed byte by byte afterwards (ReverseBitOrder,
// codecs/common/bit_order.h); the encoder always packs most significant bit first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "bitmap/stream.h"
#include "codecs/common/lzw_decoder.h"

namespace lumenax {

// The TIFF LZW encoder hook: encodes the bytes of data as the continuation of one strip's
// code stream and writes finished output to stream.
//  - The first call of a strip, with an empty state, creates the state (TLxLzwHookState,
//    shared with the decoder hooks; an application's own hook derives its state from it) and
//    starts the code stream with a clear code.
//  - Every call with data encodes all of it. Output may stay buffered in the state between
//    calls: the strip's bytes are all in the stream only after the ending call.
//  - A call with empty data ends the strip: the last codes, end of information and the
//    padding are written and the state is freed. With an empty state it writes nothing.
//    Destroying the state instead drops the unwritten end of the strip.
//  - Returns false when the stream took fewer bytes than given (the caller reports "write
//    failed"); the state stays valid and must still be ended or destroyed.
using TTiffLzwEncoderHook = bool (*)(std::span<const uint8_t> data, TStream& stream,
                                     std::unique_ptr<TLxLzwHookState>& state);

// The library's TIFF LZW encoder, a hashed dictionary of 8,192 slots.
bool TiffLzwEncodeRow(std::span<const uint8_t> data, TStream& stream,
                      std::unique_ptr<TLxLzwHookState>& state);

// The process-wide default encoder hook: TiffLzwEncodeRow unless the program installs another
// before it saves images. A new parameter record's TiffLzwEncoderHook starts as this value; a
// writer uses the record's hook, else this one, and stores the image uncompressed when both
// are empty.
extern TTiffLzwEncoderHook DefaultTiffLzwEncoderHook;

// The complete code stream of data (clear code first, end of information last), as one TIFF
// strip or one PDF LZWDecode stream holds it.
std::vector<uint8_t> EncodeTiffLzw(std::span<const uint8_t> data);

// TIFF's horizontal predictor (Predictor 2) for 8-bit samples: every sample of the row, from
// the second pixel on, is replaced by its difference (modulo 256) from the same sample of the
// pixel to its left. samplesPerPixel is the number of interleaved samples (1 to 4 usually).
void DifferenceRow8(std::span<uint8_t> row, int samplesPerPixel);

}  // namespace lumenax
