// Writes the fuzz target's seed corpus: messages built by the codec itself
// (read requests, write packets, data frames, acknowledgements, command
// payloads and replies), with the counts and bytes that need escaping.
// Usage: SarCodecSeeds <folder>
#include "SarFuzzBytes.h"

#include <cstdio>
#include <string>

using sarfuzz::Bytes;

namespace {

int g_written = 0;

bool Write(const std::string& folder, const Bytes& bytes) {
    char name[32];
    std::snprintf(name, sizeof(name), "/seed-%03d", g_written);
    const std::string path = folder + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !ok) {
        std::perror(path.c_str());
        return false;
    }
    ++g_written;
    return true;
}

// Bytes that hold 7D and 7E among the others.
Bytes Pattern(size_t length, uint32_t seed) {
    Bytes data(length);
    uint32_t x = seed;
    for (size_t i = 0; i < length; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<uint8_t>(x >> 16);
        if (i % 37 == 5) data[i] = kSarEndMark;
        if (i % 41 == 7) data[i] = kSarEscape;
    }
    return data;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    bool ok = true;

    for (uint16_t received : {0, 1, 125, 126, 500, 0x7D7E, 0xFFFF}) {
        uint8_t request[kSarReadRequestSize];
        BuildSarReadRequest(received, request, sizeof(request));
        ok &= Write(folder, Bytes(request, request + sizeof(request)));
    }

    const Bytes chunks[] = {Bytes(), Bytes(1, 0x11), Bytes(126, kSarEndMark), Bytes(500, kSarEscape),
                            Pattern(125, 1), Pattern(500, 2)};
    for (const Bytes& chunk : chunks)
        for (uint8_t flag : {0, 1})
            ok &= Write(folder, sarfuzz::WritePacket(chunk.data(), static_cast<uint16_t>(chunk.size()), flag));

    const struct {
        size_t length;
        uint16_t count;
        int32_t remaining;
    } frames[] = {{0, 0, 0}, {1, 1, 0}, {125, 125, 126}, {126, 126, 0x7D7E}, {300, 300, -1},
                  {500, 500, 0x7E7D7E7D}, {40, 0x7D00, 0}};
    for (const auto& f : frames) {
        const Bytes data = Pattern(f.length, static_cast<uint32_t>(f.length));
        Bytes frame = sarfuzz::DataFrame(data.data(), data.size(), f.count, f.remaining);
        ok &= Write(folder, frame);
        frame.pop_back();  // without its end mark: incomplete
        ok &= Write(folder, frame);
    }

    const Bytes body = {0xF4, 0x01, 0x00, 0x00};  // chunk length 500, then two bytes
    for (uint16_t at10 : {2, 3}) ok &= Write(folder, sarfuzz::Acknowledgement(at10, body.data(), body.size()));

    // Command payloads and replies as the dispatch reads them.
    ok &= Write(folder, SarConfigPayload(3));
    Bytes configReply = SarConfigPayload(5);
    configReply.insert(configReply.begin() + 8, {0, 0, 0, 0});  // a 32-byte reply: the index at 28
    ok &= Write(folder, configReply);
    ok &= Write(folder, SarVersionPayload(2, 0x7E7D));
    ok &= Write(folder, Bytes{0x00, 0x02, 0x00, 0x00, 0x6E, 0x90});
    ok &= Write(folder, SarEnablePayload(1));
    ok &= Write(folder, Bytes{0x01, 0x00, 0x00, 0x00});
    ok &= Write(folder, DeviceRootPayload());

    std::printf("%d seeds in %s\n", g_written, folder.c_str());
    return ok ? 0 : 1;
}
