// WADO-RS rendered resources and thumbnails, as JPEG or PNG: an instance's whole picture, one
// frame, and the slide's thumbnail for its series and study.
//
// Query parameters: viewport=W,H (the picture scaled to fit W x H, its aspect kept) and
// quality=1..100 (JPEG); others that rendering defines (annotation, iccprofile, ...) are
// ignored: the pixels are sRGB already.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dicomweb/Context.h"

namespace tarncli::dicomweb {

// The largest width x height of the aspect of `width` x `height` within `boxWidth` x
// `boxHeight` (each side at least 1).
void FitWithin(int64_t width, int64_t height, int64_t boxWidth, int64_t boxHeight,
               int64_t* fitWidth, int64_t* fitHeight);

// `rgb` (width x height) scaled to outWidth x outHeight: each output pixel the mean of the
// source pixels it covers (the nearest one when enlarging).
std::vector<uint8_t> Resize(const uint8_t* rgb, int64_t width, int64_t height, int64_t outWidth,
                            int64_t outHeight);

// RGB pixels as a PNG; false with the reason.
bool EncodePng(const uint8_t* rgb, uint32_t width, uint32_t height, std::string* png,
               std::string* error);

// The instance's total pixel matrix rendered. A level read whole must fit the bound on rendered
// pixels; through a viewport, the coarsest level that still fills it is read instead.
Answer RenderInstance(const Context& context, const InstanceRef& instance);

// One frame of an instance rendered (a list of more is 400).
Answer RenderFrame(const Context& context, const InstanceRef& instance, const std::string& list);

// The instance that stands for a slide: its thumbnail, else its coarsest level.
size_t RepresentativeInstance(const Context& context, const Slide& slide);

}  // namespace tarncli::dicomweb
