#include "CClock.h"
#include "CService.h"
#include "CThread.h"
#include "Logger.h"

#include <exception>
#include <ios>

namespace {
// How long the process's end waits for the threads of its objects (real ms).
const DWORD kThreadsEndMs = 2000;
}  // namespace

int main(int argc, char* argv[]) {
    const char* argument = argc > 1 ? argv[1] : nullptr;
    LogInit();
    CClock::LoadDivisorFromRegistry();
    LogWrite("main", "************* ORVANE.TARVOSVC START ***********", 0);
    int exitCode = 0;
    try {
        CService service(argument);
        exitCode = service.Execute();
    } catch (const std::ios_base::failure& e) {
        LogWrite("main", e.what(), 2);
        exitCode = 1;
    } catch (const std::exception& e) {
        LogWrite("main", e.what(), 2);
        exitCode = 1;
    }
    // Threads that watch no stop (a Thermova hold) leave now; one that a stop
    // left behind, or that does not leave in time, may still wake into what the
    // runtime destroys after main: the process then ends without destroying it.
    CClock::SignalProcessEnd();
    const bool threadsEnded = CThread::WaitForAllThreadsToEnd(kThreadsEndMs);
    LogWrite("main", "************* ORVANE.TARVOSVC EXIT ***********", 0);
    // The debugger output's thread sends the last lines and ends; a viewer that
    // holds it past the bound leaves it to the process's end.
    const bool outputEnded = LogEndDebugOutput(kThreadsEndMs);
    if (!threadsEnded || !outputEnded || CService::IsStopUnfinished()) ::ExitProcess(static_cast<UINT>(exitCode));
    return exitCode;
}
