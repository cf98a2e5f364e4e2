// RPC request bodies (sp_executesql, sp_prepare, ...) with their parameters,
// read at the versions whose layouts differ (7.0, 7.1, 7.2 and later).
#include "emulator/tds.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace tds = emulator::tds;
    for (const std::uint32_t version : {tds::kTds70, tds::kTds71, tds::kTds74}) {
        try {
            tds::ParseRpc(quillfuzz::Bytes(data, size), version);
        } catch (const tds::ProtocolError&) {
        }
    }
    return 0;
}
