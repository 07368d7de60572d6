// DICOMweb, read-only, under /dicomweb: every slide a study of the instances the converter
// writes, answered by dicomweb/ from the open slides, its frames kept in the encoded cache.
// Whole studies, series and instances are streamed: bounded by the client's progress, not by the
// request's deadline.
#include <cstdio>

#include "Common.h"
#include "routes/RouteTable.h"
#include "routes/SlideAccess.h"

#if TARN_DICOMWEB
#include "dicom/Frames.h"
#include "dicom/Slide.h"
#include "dicomweb/DicomWeb.h"
#endif

namespace tarncli::serve {

#if TARN_DICOMWEB

std::shared_ptr<const tarn::dicom::PreparedSlide> PrepareDicom(tarn_slide* slide,
                                                               const std::string& path,
                                                               std::string* error) {
    // The converter's defaults, so that both name the slide's instances alike.
    const tarn::dicom::DescribeOptions options;
    const bool file = !IsUrl(path) && tarn_detect_vendor(path.c_str()) != nullptr;
    tarn::dicom::SlideDescription description;
    auto prepared = std::make_shared<tarn::dicom::PreparedSlide>();
    if (!tarn::dicom::DescribeSlide(slide, file ? path.c_str() : nullptr, options, &description,
                                    error) ||
        !tarn::dicom::PrepareSlide(description, prepared.get(), error))
        return nullptr;
    return prepared;
}

namespace {

EncodedKey FrameKey(const ServedSlide& slide, size_t instance, int64_t frame) {
    return EncodedKey{slide.id, "dicom " + std::to_string(instance) + "/" + std::to_string(frame),
                      "jpeg"};
}

// Frames come from the encoded cache, or are encoded and kept there.
dicomweb::FrameReader CachedFrames(Server& server) {
    return [&server](const dicomweb::Slide& slide, size_t instance, int64_t frame,
                     std::vector<uint8_t>* jpeg, std::string* error) {
        const auto* served = static_cast<const ServedSlide*>(slide.owner.get());
        const EncodedKey key = FrameKey(*served, instance, frame);
        if (const http::EncodedPtr cached = server.cache.Find(key)) {
            jpeg->assign(cached->bytes.begin(), cached->bytes.end());
            return true;
        }
        if (!tarn::dicom::ReadFrame(slide.slide, *slide.prepared, instance, frame, jpeg, error))
            return false;
        server.cache.Insert(key, http::MakeEncoded(std::string(jpeg->begin(), jpeg->end())));
        return true;
    };
}

// The served slide whose study the path names, if any: the one whose seat a retrieval takes.
const ServedSlide* StudySlide(const std::vector<std::string>& path,
                              const std::vector<std::shared_ptr<ServedSlide>>& slides) {
    if (path.size() < 2 || path[0] != "studies") return nullptr;
    for (const auto& slide : slides)
        if (slide->dicom != nullptr && slide->dicom->uids.study == path[1]) return slide.get();
    return nullptr;
}

http::Answer ToAnswer(dicomweb::Answer&& given) {
    http::Answer answer;
    answer.status = given.status;
    answer.type = given.contentType;
    answer.headers = std::move(given.headers);
    if (given.producer != nullptr) {
        std::shared_ptr<dicomweb::BodyProducer> producer = std::move(given.producer);
        auto stream = std::make_shared<http::Stream>();
        stream->next = [producer](uint64_t, char* buffer, size_t room) -> int64_t {
            const int64_t written = producer->Read(reinterpret_cast<uint8_t*>(buffer), room);
            if (written < 0)
                fprintf(stderr, "tarn: a DICOMweb answer broke off: %s\n",
                        producer->error().c_str());
            return written;
        };
        answer.stream = std::move(stream);
        return answer;
    }
    answer.body = http::MakeEncoded(std::move(given.body));
    // The answers name only what cannot change while the slide's file does not: they may be kept
    // and revalidated by their ETag (a multipart answer's fresh boundary gives it a new one).
    answer.sendEtag = given.status == 200;
    answer.caching = given.status == 200 ? http::Caching::Revalidate : http::Caching::None;
    return answer;
}

http::Answer Handle(Server& server, const dicomweb::Service& service, const http::Call& call) {
    const http::HttpRequest& request = call.request;
    std::string origin;
    if (!RequestOrigin(request, &origin))
        return http::Text(400, "the Host header is missing or not a host name");
    dicomweb::Request asked;
    asked.method = request.method == http::Method::Head ? "HEAD" : "GET";
    asked.path.assign(request.segments.begin() + 1, request.segments.end());
    for (const auto& parameter : request.query)
        if (parameter.first != "token") asked.query.push_back(parameter);
    asked.accept = request.accept.value_or("");
    asked.baseUrl = origin + "/dicomweb";

    const std::vector<std::shared_ptr<ServedSlide>> current = server.Current();
    // A request about one study holds a seat of its slide, as every other read of a slide does.
    HeldSlide held;
    if (const ServedSlide* named = StudySlide(asked.path, current)) {
        http::Answer instead;
        if (!HoldSlide(server, call, named->name, &held, &instead)) return instead;
    }
    std::vector<dicomweb::Slide> slides;
    slides.reserve(current.size());
    for (const auto& slide : current)
        if (slide->dicom != nullptr) slides.push_back({slide->dicom, slide->slide, slide});
    return ToAnswer(service.Handle(asked, slides));
}

}  // namespace

std::vector<http::Route> DicomWebRoutes(Server& server) {
    dicomweb::Options options;
    options.hideLabel = server.options.hideLabel;
    options.frames = CachedFrames(server);
    auto service = std::make_shared<const dicomweb::Service>(std::move(options));
    return {
        {"/dicomweb/{path*}",
         [&server, service](const http::Call& call) { return Handle(server, *service, call); },
         "dicomweb", http::CrossOrigin::Yes},
    };
}

#else

std::shared_ptr<const tarn::dicom::PreparedSlide> PrepareDicom(tarn_slide*, const std::string&,
                                                               std::string* error) {
    error->clear();
    return nullptr;
}

std::vector<http::Route> DicomWebRoutes(Server&) {
    return {{"/dicomweb/{path*}",
             [](const http::Call&) { return http::Text(501, "this tarn is built without DICOM"); },
             "dicomweb", http::CrossOrigin::Yes}};
}

#endif

}  // namespace tarncli::serve
