// The caller's pixel layouts: conversion from the blue-green-red pixels tiles decode to, and what
// lies outside the picture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Common/PixelFormat.h"
#include "TarnApi/Slide.h"
#include "tarn.h"

namespace tarn {

// The layout a tarn_format number names; false for a number that names none (a C caller may pass
// any int).
bool PixelFormatOf(int format, PixelFormat* out);

// The same within a call: false after failing it.
bool CallerLayout(SlideCall& call, int format, PixelFormat* out);

// Converts width x height blue-green-red pixels (rows `srcStride` bytes apart) into `format` at
// `dst` (rows `dstStride` bytes apart), alpha 255. Each row is written from its last pixel to its
// first, so a row may be converted in place: src == dst with equal strides.
void ConvertBgr(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride,
                uint32_t width, uint32_t height, PixelFormat format);

// Fills `count` bytes of pixels of `format` with what lies outside the picture: transparent (all
// bytes 0) in layouts with alpha, white in the others.
void FillOutside(uint8_t* dst, size_t count, PixelFormat format);

}  // namespace tarn
