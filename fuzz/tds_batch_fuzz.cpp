// SQL batch bodies: ALL_HEADERS (TDS 7.2 on) and the UTF-16 text, read at
// both kinds of version the emulator negotiates.
#include "emulator/tds.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace tds = emulator::tds;
    for (const std::uint32_t version : {tds::kTds71, tds::kTds74}) {
        try {
            const auto text = tds::SqlBatchText(quillfuzz::Bytes(data, size), version);
            quillfuzz::Require(text.size() <= size, "batch text inside the body");
            tds::Utf16ToAnsi(text);
        } catch (const tds::ProtocolError&) {
        }
    }
    return 0;
}
