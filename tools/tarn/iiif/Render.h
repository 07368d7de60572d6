// A resolved IIIF image request drawn from a slide: read from the coarsest picture that still has
// the pixels asked for, scaled with a box filter while it streams through in blocks, turned to
// the quality, mirrored and rotated, and encoded. Memory per request, whatever the region: the
// answer's pixels and its encoding, one block of at most RenderOptions::blockBytes, the sums of
// that block's rows (at most twice as much) and two output rows of sums.
#pragma once

#include <cstddef>
#include <string>

#include "iiif/Encode.h"
#include "iiif/Request.h"
#include "iiif/Slide.h"
#include "tarn.h"

namespace tarncli::iiif {

struct RenderOptions {
    int jpegQuality = 90;
    size_t blockBytes = size_t{8} << 20;  // pixels read from the slide at once
    // Source pixels one request may read: requests of the slide's proportions read at most
    // some 4 times their own pixels (16 for slides whose levels step by 4); only sizes far out
    // of the region's proportions come near this, and they are refused (400).
    int64_t maxReadPixels = int64_t{16} * 4096 * 4096;
};

// Where a request's pixels come from: a source of the slide, and the region's rectangle in that
// source's own pixels. The coarsest source whose rectangle is at least the requested size on
// both sides (full resolution always is), so that scaling only ever shrinks, by less than the
// step to the next coarser source.
struct SourcePlan {
    size_t source = 0;  // index into SlideFacts::sources
    int64_t x = 0, y = 0, w = 0, h = 0;
};

SourcePlan PlanSource(const SlideFacts& facts, const ResolvedRequest& request);

// Whether drawing the request reads coarse levels, whose first read may wait for the library to
// build them (tarn_wait_coarse_levels tells without waiting): a server sets such a request aside
// rather than holding a worker.
bool ReadsCoarseLevels(const SlideFacts& facts, const ResolvedRequest& request);

// The answer's pixels: OutputWidth() x OutputHeight(), 3 channels (default, color) or 1 (gray,
// bitonal). Gray is Rec. 709 luma of the sRGB values, (54 R + 183 G + 19 B + 128) / 256; bitonal
// is white where that luma is 128 or more, black below. Mirroring flips left to right before the
// clockwise rotation. 500 when the slide cannot be read.
Error RenderPixels(tarn_slide* slide, const SlideFacts& facts, const ResolvedRequest& request,
                   const RenderOptions& options, Pixels* pixels);

// The same, encoded as the request's format: the bytes to answer with
// FormatContentType(request.format). Each thread keeps the pixels of its last answer of up to
// 4 MiB for the next.
Error RenderImage(tarn_slide* slide, const SlideFacts& facts, const ResolvedRequest& request,
                  const RenderOptions& options, std::string* bytes);

}  // namespace tarncli::iiif
