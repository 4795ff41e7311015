#include "CClock.h"
#include "CService.h"
#include "Logger.h"

#include <exception>
#include <ios>

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
    LogWrite("main", "************* ORVANE.TARVOSVC EXIT ***********", 0);
    return exitCode;
}
