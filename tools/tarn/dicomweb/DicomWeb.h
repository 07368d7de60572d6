// Read-only DICOMweb (QIDO-RS, WADO-RS) over the served slides, built on the fly: every slide is a
// study of VL Whole Slide Microscopy instances exactly as `tarn convert --format dicom` writes
// them (dicom/ is their one definition), answered from the open slide without any conversion.
//
// The server's route for /dicomweb hands each request here, parsed, with the slides it serves,
// and sends the Answer: a status, headers and either the whole body or a producer it pulls the
// body from (whole studies are streamed instance by instance, frame by frame). Nothing here
// speaks HTTP or touches a socket: docs/dicomweb.md lists the routes and media types.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dicom/Slide.h"
#include "tarn.h"

namespace tarncli::dicomweb {

// A served slide: its instances (described and prepared once, when it opens) and the open slide
// that their frames are read from.
struct Slide {
    std::shared_ptr<const tarn::dicom::PreparedSlide> prepared;
    tarn_slide* slide = nullptr;
    // Held by every answer that outlives the call (a streamed body) so that `slide` stays open
    // until its last byte: the server's own handle on the slide.
    std::shared_ptr<const void> owner;
};

// Reads frame `frame` (0-based) of instance `instance` of `slide` as the instance stores it (a
// baseline JPEG). The server's reader keeps frames in its cache of encoded images; without one,
// tarn::dicom::ReadFrame encodes them on every call. Called on any thread, streams included: what
// it captures must live as long as they do.
using FrameReader = std::function<bool(const Slide& slide, size_t instance, int64_t frame,
                                       std::vector<uint8_t>* jpeg, std::string* error)>;

struct Options {
    // Leaves out the label and overview instances (`tarn serve --hide-label`): both show the
    // slide's label. They are then unknown to every route.
    bool hideLabel = false;
    // Frames one frame retrieval may ask for (more: 400).
    size_t maxFrames = 64;
    // Results of one search at most; past it the answer is cut with a Warning header.
    size_t maxResults = 1000;
    // Pixels a rendered image may read and answer (a level larger than this is rendered only
    // through a viewport, from a coarser level).
    int64_t maxRenderedPixels = int64_t{4096} * 4096;
    // A search without results answers 204 No Content (what DICOMweb asks for); false: 200 with
    // an empty array, for clients that cannot take an empty body.
    bool emptySearchIsNoContent = true;
    FrameReader frames;  // empty: tarn::dicom::ReadFrame
};

// A request as the HTTP layer parsed it.
struct Request {
    std::string method =
        "GET";  // GET and HEAD are answered; HEAD as GET (the layer drops the body)
    std::vector<std::string> path;  // the segments after /dicomweb, percent-decoded
    // Query parameters, percent-decoded ('+' as a space), in order, repeats kept; the server's
    // own (its access token) left out.
    std::vector<std::pair<std::string, std::string>> query;
    std::string accept;  // the Accept header, empty when there is none
    // The URL of /dicomweb as the client reaches it ("http://host:8080/dicomweb"), from which the
    // answers' RetrieveURL, BulkDataURI and Content-Location are made.
    std::string baseUrl;
};

// A body produced as it is sent, whose length is not known ahead (chunked).
class BodyProducer {
  public:
    virtual ~BodyProducer() = default;
    // Copies up to `capacity` next bytes into `dest`: the count (> 0 until the end), 0 at the end,
    // -1 on failure (the reason in error(); the layer then ends the connection, as the status is
    // already sent). Called by one thread at a time, any thread.
    virtual int64_t Read(uint8_t* dest, size_t capacity) = 0;
    virtual const std::string& error() const = 0;
};

struct Answer {
    int status = 200;
    std::string contentType;  // empty for 204
    // Further headers: Content-Location, Warning, Allow, Vary.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;                        // the whole body, unless `producer` is set
    std::unique_ptr<BodyProducer> producer;  // streamed body (body then empty)
};

class RatioBook;

// The DICOMweb service: stateless but for a small memory of measured compression ratios, and
// safe to call from any number of threads at once.
class Service {
  public:
    explicit Service(Options options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Answers one request about `slides` (every slide served, in the order searches list them).
    Answer Handle(const Request& request, const std::vector<Slide>& slides) const;

    const Options& options() const { return options_; }

  private:
    Options options_;
    std::shared_ptr<RatioBook> ratios_;
};

}  // namespace tarncli::dicomweb
