// Lets a long command end cleanly on SIGINT, SIGTERM or SIGHUP. While the signals are caught,
// each one only records itself; the command asks StopSignal() as it goes, cleans up, and then
// ends the way the signal would have ended it.
#pragma once

namespace tarncli {

// Catches the three signals from now on. A signal the process was started with ignored (a job
// run in the background by a script, nohup) stays ignored.
void CatchStopSignals();

// The signal caught, or 0.
int StopSignal();

// A flag that turns nonzero when a signal is caught, for a library's cancel flag to watch.
const volatile int* StopFlag();

// Ends the process by `signal` with its default action, so the caller sees it die of that signal
// (a shell reports 128 + the signal's number, and a shell loop stops on Ctrl-C). Returns
// 128 + signal only if the process survives its own signal.
int EndBySignal(int signal);

}  // namespace tarncli
