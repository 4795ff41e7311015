// A process that loads Kessa.dll as the service does, calls Kessa_Init with
// the interface id it is given and ends at once: the library's worker thread
// is then at its start while the process ends. Exit code 0 when the library
// loaded and Init returned, whatever its result; 2 when it did not load.
#include "Kessa.h"

#include <windows.h>

#include <string>

int main(int argc, char** argv) {
    if (argc < 3) return 1;
    // argv[1]: the product folder; argv[2]: the interface id; both ASCII.
    const std::string folder = argv[1];
    ::AddDllDirectory(std::wstring(folder.begin(), folder.end()).c_str());
    HMODULE module = ::LoadLibraryExA("Kessa.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (module == nullptr) return 2;
    auto init = reinterpret_cast<PFN_Kessa_Init>(reinterpret_cast<void*>(::GetProcAddress(module, "Kessa_Init")));
    if (init == nullptr) return 2;
    init(argv[2]);
    return 0;
}
