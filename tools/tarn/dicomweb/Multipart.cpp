#include "dicomweb/Multipart.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace tarncli::dicomweb {

std::string NewBoundary() {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::random_device source;
    std::string boundary = "tarn-";
    for (int i = 0; i < 8; ++i) {
        const uint32_t bits = source();
        for (int k = 0; k < 4; ++k)
            boundary.push_back(kDigits[(bits >> (4 * k)) & 0xF]);
    }
    return boundary;
}

std::string MultipartContentType(std::string_view partType, std::string_view boundary) {
    return "multipart/related; type=\"" + std::string(partType) +
           "\"; boundary=" + std::string(boundary);
}

std::string PartHead(std::string_view boundary, size_t index, std::string_view contentType,
                     std::string_view location) {
    std::string head = index == 0 ? "--" : "\r\n--";
    head += boundary;
    head += "\r\nContent-Type: ";
    head += contentType;
    head += "\r\n";
    if (!location.empty()) {
        head += "Content-Location: ";
        head += location;
        head += "\r\n";
    }
    head += "\r\n";
    return head;
}

std::string MultipartEnd(std::string_view boundary) {
    return "\r\n--" + std::string(boundary) + "--\r\n";
}

MultipartBody BuildMultipart(std::string_view partType, const std::vector<Part>& parts) {
    std::string boundary;
    const auto holds = [&](const Part& part) {
        return part.bytes.find(boundary) != std::string::npos;
    };
    do {
        boundary = NewBoundary();
    } while (std::any_of(parts.begin(), parts.end(), holds));
    MultipartBody result;
    result.contentType = MultipartContentType(partType, boundary);
    for (size_t i = 0; i < parts.size(); ++i) {
        result.body += PartHead(boundary, i, parts[i].contentType, parts[i].location);
        result.body += parts[i].bytes;
    }
    result.body += MultipartEnd(boundary);
    return result;
}

namespace {

class MultipartStream : public BodyProducer {
  public:
    MultipartStream(std::string boundary, size_t count, PartMaker make)
        : boundary_(std::move(boundary)), count_(count), make_(std::move(make)) {}

    int64_t Read(uint8_t* dest, size_t capacity) override {
        if (failed_) return -1;
        size_t copied = 0;
        while (copied < capacity) {
            if (pendingAt_ < pending_.size()) {
                const size_t take = std::min(capacity - copied, pending_.size() - pendingAt_);
                std::memcpy(dest + copied, pending_.data() + pendingAt_, take);
                pendingAt_ += take;
                copied += take;
                continue;
            }
            if (body_) {
                const int64_t n = body_->Read(dest + copied, capacity - copied);
                if (n < 0) return Fail(body_->error());
                if (n > 0) {
                    copied += static_cast<size_t>(n);
                    continue;
                }
                body_.reset();
            }
            if (!NextPiece()) break;
        }
        return failed_ ? -1 : static_cast<int64_t>(copied);
    }

    const std::string& error() const override { return error_; }

  private:
    // Queues the next part's head (and makes its body), or the end; false past the end.
    bool NextPiece() {
        pending_.clear();
        pendingAt_ = 0;
        if (next_ < count_) {
            StreamedPart part;
            std::string why;
            if (!make_(next_, &part, &why) || !part.body) {
                Fail(why.empty() ? "a part cannot be made" : why);
                return false;
            }
            pending_ = PartHead(boundary_, next_, part.contentType, part.location);
            body_ = std::move(part.body);
            ++next_;
            return true;
        }
        if (ended_) return false;
        pending_ = MultipartEnd(boundary_);
        ended_ = true;
        return true;
    }

    int64_t Fail(const std::string& why) {
        failed_ = true;
        error_ = why;
        body_.reset();
        return -1;
    }

    std::string boundary_;
    size_t count_;
    PartMaker make_;
    size_t next_ = 0;
    std::string pending_;
    size_t pendingAt_ = 0;
    std::unique_ptr<BodyProducer> body_;
    bool ended_ = false;
    bool failed_ = false;
    std::string error_;
};

}  // namespace

std::unique_ptr<BodyProducer> StreamMultipart(std::string boundary, size_t count, PartMaker make) {
    return std::make_unique<MultipartStream>(std::move(boundary), count, std::move(make));
}

}  // namespace tarncli::dicomweb
