#include "FuzzSupport.h"

#include "ColorCorrect/ColorTables.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace tarnfuzz {

void Touch(const void* data, size_t size) {
    if (data == nullptr) return;
    const auto* bytes = static_cast<const uint8_t*>(data);
    volatile uint8_t sink = 0;
    uint8_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    sink = sum;
    (void)sink;
}

namespace {

// Neutral colour parameters where a slide keeps its extra information: gamma 1, unit gains and
// HSV multipliers, identity matrix.
void PinColours(std::vector<uint8_t>* bytes) {
    constexpr size_t kRecord = 6964, kParameters = kRecord + 34;
    if (bytes->size() < kParameters + 64 || (*bytes)[kRecord] != 'E' ||
        (*bytes)[kRecord + 1] != 'I')
        return;
    const float values[16] = {1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    memcpy(bytes->data() + kParameters, values, sizeof values);
}

}  // namespace

void PublishNeutralColours() {
    static const bool published = [] {
        tarn::PublishColorTable(tarn::AcquireColorLut(tarn::NeutralColorParams()));
        return true;
    }();
    (void)published;
}

InputFile::InputFile(const uint8_t* data, size_t size, bool pinColours) {
    std::vector<uint8_t> bytes(data, data + size);
    if (pinColours) PinColours(&bytes);
    char name[] = "/tmp/tarn-fuzz-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return;
    path_ = name;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
}

InputFile::~InputFile() {
    if (!path_.empty()) unlink(path_.c_str());
}

}  // namespace tarnfuzz
