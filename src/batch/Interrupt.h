#pragma once

namespace skyvane::batch {

// SIGINT and SIGTERM ask the run to stop: the handler only notes it, and the run looks
// between actions, and a long step between its frames or bands, so that it ends cleanly
// ("Error: cancelled", exit status 1, no file half written). A second signal ends the
// program the default way.
void InstallInterruptHandlers();
bool InterruptRequested();

} // namespace skyvane::batch
