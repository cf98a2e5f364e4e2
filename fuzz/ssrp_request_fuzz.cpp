// SSRP datagrams to the emulator's browser; every answer it gives must be
// one that the management objects read.
#include "components/sqldmo/browse.h"
#include "emulator/server.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const emulator::BrowserInfo info{"QUILL-SRV", "MSSQLSERVER", 1433};
    const std::string answer =
        emulator::SsrpAnswer(std::string(quillfuzz::Bytes(data, size)), info);
    if (!answer.empty()) {
        const auto instances = sqldmo::ParseServerResponse(answer);
        quillfuzz::Require(instances && instances->size() == 1, "the answer reads as one instance");
    }
    return 0;
}
