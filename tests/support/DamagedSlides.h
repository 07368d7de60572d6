// Damaged slides: valid small slides changed in one small, named way each, and the outcome each
// must have through the fixed interface. Every interface's suite reads the same cases: the fixed
// interface checks the outcomes named here, the others that they fail cleanly where it fails and
// give its pixels where it gives pixels.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "DecodeTarnCxx.h"
#include "TarnWriter.h"

namespace tarntest {

// The valid slides the cases start from.
enum class Base { Jpeg, Bmp, Hevc, Bare };
const tarnwriter::SlideFile& BaseSlide(Base base);

// Further expectations on a slide that opens through the fixed interface.
using Check = std::function<void(ZyTarnInfo*)>;
using Damage = std::function<void(tarnwriter::Bytes&, const tarnwriter::SlideLayout&)>;

struct Case {
    std::string name;
    Base base;
    Damage damage;
    bool opens;  // through ZyOpenTarn
    Check check;
    // Why tarn_open refuses a slide that ZyOpenTarn opens; empty when both agree.
    std::string tarnRefuses;
};

// Every case, built once.
const std::vector<Case>& DamagedCases();

// The case's slide: its base slide with the damage done.
tarnwriter::Bytes DamagedBytes(const Case& c);

// Cases print by name (their bytes include padding).
void PrintTo(const Case& c, std::ostream* os);
std::string CaseName(const testing::TestParamInfo<Case>& info);

// Bounds one case in time: past `seconds` the process stops with the case's name, so that a hang
// fails the suite at once and says where.
class Deadline {
  public:
    Deadline(std::string what, int seconds);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool over_ = false;
    std::thread watch_;
};

}  // namespace tarntest
