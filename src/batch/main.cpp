// skyvane-batch: runs the program's command language and a few window actions from the
// command line, without any window.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "base/PrintableText.h"
#include "batch/BatchOptions.h"
#include "batch/BatchRun.h"
#include "batch/Interrupt.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    skyvane::batch::BatchOptions options;
    std::string error;
    if (!skyvane::batch::ParseBatchOptions(args, options, error)) {
        std::fprintf(stderr, "Error: %s\n%s", skyvane::PrintableText(error).c_str(), skyvane::batch::BatchUsage().c_str());
        return skyvane::batch::ExitUsage;
    }
    skyvane::batch::InstallInterruptHandlers();
    try {
        return skyvane::batch::RunBatch(options, stdout, stderr);
    } catch (const std::bad_alloc&) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: not enough memory\n");
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "Error: %s\n", skyvane::PrintableText(e.what()).c_str());
    }
    return skyvane::batch::ExitReported;
}
