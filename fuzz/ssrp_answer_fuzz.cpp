// SVR_RESP datagrams, as the management objects read a server's answer.
#include "components/sqldmo/browse.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (const auto instances = sqldmo::ParseServerResponse(quillfuzz::Bytes(data, size))) {
        for (const auto& instance : *instances) {
            sqldmo::ListedName(instance, "QUILL-WS");
        }
    }
    return 0;
}
