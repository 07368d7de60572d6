// The subcommands of `tarn`. Each takes the arguments after its name and returns the exit code:
// 0 done, 1 failed, 2 wrong usage.
#pragma once

namespace tarncli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int RunInfo(int argc, char** argv);
int RunTile(int argc, char** argv);
int RunRegion(int argc, char** argv);
int RunImage(int argc, char** argv);
int RunExport(int argc, char** argv);
int RunConvert(int argc, char** argv);
int RunSample(int argc, char** argv);
int RunServe(int argc, char** argv);

}  // namespace tarncli
