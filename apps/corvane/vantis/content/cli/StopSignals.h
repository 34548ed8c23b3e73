// Ctrl-C and SIGTERM as a request to stop, the way a progress callback that
// answers false is one: the handler only records the signal, and the
// program's progress callback reads it and asks the pipeline to stop, so
// that in-flight work ends at its next listening point and whatever was
// complete is still installed. Dying on the spot would leave the progress
// line unfinished and the run's completed files unrecorded.
//
// `catchStopSignals` once, on the main thread, before any other thread
// starts; `stopSignalReceived` from any thread.
#pragma once

namespace vantis::content {

// Installs the handlers for SIGINT and SIGTERM.
void catchStopSignals();

// The first stop signal received (SIGINT or SIGTERM), 0 while none was.
int stopSignalReceived();

}  // namespace vantis::content
