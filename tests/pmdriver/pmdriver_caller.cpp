// Another process that sends one request the way the product does, for the
// tests of holds across processes: pmdriver_caller <device path> <code> <input>,
// the numbers in hexadecimal. Its exit code is described in PmDriverCaller.h.
#include "Handles.h"
#include "PmDriverCaller.h"

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) return static_cast<int>(kCallerFailed | ERROR_BAD_ARGUMENTS);
    DWORD code = std::strtoul(argv[2], nullptr, 16);
    DWORD input = std::strtoul(argv[3], nullptr, 16);
    CUniqueHandle device(::CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       0, nullptr));
    if (!device) return static_cast<int>(kCallerFailed | ::GetLastError());
    DWORD output = 0;
    DWORD returned = 0;
    if (!::DeviceIoControl(device.Get(), code, &input, sizeof(input), &output, sizeof(output), &returned, nullptr))
        return static_cast<int>(kCallerFailed | ::GetLastError());
    return static_cast<int>(output);
}
