#include "dicomweb/Retrieve.h"

#include <cctype>
#include <cstring>
#include <memory>
#include <utility>

#include "dicom/Json.h"
#include "dicom/InstanceBytes.h"
#include "dicomweb/Multipart.h"

namespace tarncli::dicomweb {
namespace {

const std::string kTransferSyntax = std::string("transfer-syntax=") + kJpegTransferSyntax;

// The multipart answer's Content-Type, naming the frames' transfer syntax as its parts do.
std::string WithSyntax(std::string contentType) {
    const size_t boundary = contentType.find("; boundary=");
    contentType.insert(boundary, "; " + kTransferSyntax);
    return contentType;
}

// One instance as a DICOM file, streamed. The frames of a small instance were read to measure its
// ratio and are handed out from memory; a larger one's are read as the stream reaches them.
class InstanceBody : public BodyProducer {
  public:
    InstanceBody(Slide slide, size_t index, FrameReader frames)
        : slide_(std::move(slide)), index_(index), frames_(std::move(frames)) {}

    bool Begin(RatioBook& ratios, std::string* error) {
        tarn::dicom::StreamOptions options;
        options.paddedRatio = true;
        if (!ratios.Ratio(slide_, index_, frames_, &options.compressionRatio, &held_, error))
            return false;
        tarn::dicom::FrameSource source = [this](int64_t frame, std::vector<uint8_t>* jpeg,
                                                 std::string* why) {
            if (!held_.empty()) {
                *jpeg = std::move(held_.at(static_cast<size_t>(frame)));
                return true;
            }
            return frames_(slide_, index_, frame, jpeg, why);
        };
        return stream_.Begin(*slide_.prepared, index_, std::move(source), options, error);
    }

    int64_t Read(uint8_t* dest, size_t capacity) override { return stream_.Read(dest, capacity); }
    const std::string& error() const override { return stream_.error(); }

  private:
    Slide slide_;
    size_t index_;
    FrameReader frames_;
    std::vector<std::vector<uint8_t>> held_;
    tarn::dicom::InstanceStream stream_;
};

bool IsHexTag(const std::string& tag) {
    if (tag.size() != 8) return false;
    for (const char c : tag) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

}  // namespace

bool ParseFrameList(std::string_view text, size_t most, std::vector<int64_t>* frames,
                    std::string* error) {
    frames->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view number = text.substr(start, end - start);
        if (number.empty() || number.size() > 10 || number[0] == '0' ||
            number.find_first_not_of("0123456789") != std::string_view::npos) {
            *error = "a frame list is frame numbers from 1, separated by commas";
            return false;
        }
        if (frames->size() == most) {
            *error = "at most " + std::to_string(most) + " frames a request";
            return false;
        }
        frames->push_back(std::stoll(std::string(number)));
        start = end + 1;
    }
    return true;
}

Answer Metadata(const Context& context, const std::vector<InstanceRef>& instances) {
    const int chosen =
        Negotiate(context.accept, {{"application/dicom+json", ""}, {"application/json", ""}});
    if (chosen < 0) return ErrorAnswer(406, "metadata is application/dicom+json");
    std::string body = "[";
    std::string error;
    for (const InstanceRef& ref : instances) {
        tarn::dicom::JsonOptions options;
        options.bulkDataUriPrefix = context.InstanceUrl(*ref.slide, ref.index) + "/bulkdata";
        std::string json;
        if (!context.Ratio(*ref.slide, ref.index, &options.compressionRatio, &error) ||
            !tarn::dicom::InstanceJson(*ref.slide->prepared, ref.index, options, &json, &error)) {
            return ErrorAnswer(500, error);
        }
        if (body.size() > 1) body += ',';
        body += json;
    }
    body += ']';
    return BodyAnswer(chosen == 0 ? "application/dicom+json" : "application/json", std::move(body));
}

Answer BulkData(const Context& context, const InstanceRef& instance, const std::string& tag) {
    std::string upper;
    for (const char c : tag)
        upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    std::vector<uint8_t> bytes;
    std::string error;
    if (!IsHexTag(upper) || !tarn::dicom::InstanceBulkData(*instance.slide->prepared,
                                                           instance.index, upper, &bytes, &error)) {
        return ErrorAnswer(404, "the instance has no bulk data " + tag);
    }
    const int chosen = Negotiate(context.accept, {{"multipart/related", "application/octet-stream"},
                                                  {"application/octet-stream", ""}});
    if (chosen < 0) return ErrorAnswer(406, "bulk data is application/octet-stream");
    std::string data(bytes.begin(), bytes.end());
    if (chosen == 1) return BodyAnswer("application/octet-stream", std::move(data));
    const std::string location =
        context.InstanceUrl(*instance.slide, instance.index) + "/bulkdata/" + upper;
    MultipartBody multipart =
        BuildMultipart("application/octet-stream", {{"application/octet-stream", location, data}});
    return BodyAnswer(std::move(multipart.contentType), std::move(multipart.body));
}

Answer Frames(const Context& context, const InstanceRef& instance, const std::string& list) {
    std::vector<int64_t> numbers;
    std::string error;
    if (!ParseFrameList(list, context.options.maxFrames, &numbers, &error))
        return ErrorAnswer(400, error);
    const int64_t count = instance.slide->prepared->instances[instance.index].grid.FrameCount();
    for (const int64_t number : numbers) {
        if (number > count) {
            return ErrorAnswer(404,
                               "frame " + std::to_string(number) + " of " + std::to_string(count));
        }
    }
    const int chosen = Negotiate(context.accept, {{"multipart/related", "application/octet-stream"},
                                                  {"multipart/related", "image/jpeg"},
                                                  {"application/octet-stream", ""},
                                                  {"image/jpeg", ""}});
    if (chosen < 0) {
        return ErrorAnswer(406,
                           "frames are multipart/related of application/octet-stream or "
                           "image/jpeg, transfer syntax 1.2.840.10008.1.2.4.50");
    }
    const std::string partType =
        chosen == 1 || chosen == 3 ? "image/jpeg" : "application/octet-stream";
    const std::string base = context.InstanceUrl(*instance.slide, instance.index) + "/frames/";
    const std::string partContentType = partType + "; " + kTransferSyntax;
    std::vector<Part> parts;
    for (const int64_t number : numbers) {
        std::vector<uint8_t> jpeg;
        if (!context.frames(*instance.slide, instance.index, number - 1, &jpeg, &error))
            return ErrorAnswer(500, error);
        parts.push_back({partContentType, base + std::to_string(number),
                         std::string(jpeg.begin(), jpeg.end())});
    }
    MultipartBody multipart = BuildMultipart(partType, parts);
    return BodyAnswer(WithSyntax(std::move(multipart.contentType)), std::move(multipart.body));
}

Answer Objects(const Context& context, const std::vector<InstanceRef>& instances) {
    std::vector<Offer> offers = {{"multipart/related", "application/dicom"}};
    if (instances.size() == 1) offers.push_back({"application/dicom", ""});
    const int chosen = Negotiate(context.accept, offers);
    if (chosen < 0) {
        return ErrorAnswer(406,
                           "instances are multipart/related of application/dicom, transfer "
                           "syntax 1.2.840.10008.1.2.4.50");
    }
    const std::string partType = "application/dicom; " + kTransferSyntax;
    std::shared_ptr<RatioBook> ratios = context.ratios;
    FrameReader frames = context.frames;
    if (chosen == 1) {
        auto body = std::make_unique<InstanceBody>(*instances[0].slide, instances[0].index, frames);
        std::string error;
        if (!body->Begin(*ratios, &error)) return ErrorAnswer(500, error);
        Answer answer = BodyAnswer(partType, "");
        answer.headers.emplace_back("Content-Location",
                                    context.InstanceUrl(*instances[0].slide, instances[0].index));
        answer.producer = std::move(body);
        return answer;
    }
    struct Planned {
        Slide slide;
        size_t index;
        std::string location;
    };
    auto planned = std::make_shared<std::vector<Planned>>();
    for (const InstanceRef& ref : instances)
        planned->push_back({*ref.slide, ref.index, context.InstanceUrl(*ref.slide, ref.index)});
    PartMaker make = [planned, ratios, frames, partType](size_t k, StreamedPart* part,
                                                         std::string* error) {
        const Planned& next = planned->at(k);
        auto body = std::make_unique<InstanceBody>(next.slide, next.index, frames);
        if (!body->Begin(*ratios, error)) return false;
        part->contentType = partType;
        part->location = next.location;
        part->body = std::move(body);
        return true;
    };
    const std::string boundary = NewBoundary();
    Answer answer = BodyAnswer(WithSyntax(MultipartContentType("application/dicom", boundary)), "");
    answer.producer = StreamMultipart(boundary, instances.size(), std::move(make));
    return answer;
}

}  // namespace tarncli::dicomweb
