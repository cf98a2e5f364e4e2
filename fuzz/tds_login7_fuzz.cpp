// LOGIN7 bodies, read and decoded as the connection does before it answers.
#include "emulator/tds.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace tds = emulator::tds;
    try {
        const tds::Login7 login = tds::ParseLogin7(quillfuzz::Bytes(data, size));
        tds::NegotiateVersion(login.tdsVersion);
        tds::Utf16ToAnsi(login.user);
        tds::Utf16ToUtf8(login.password);
        tds::Utf16ToAnsi(login.appName);
        tds::Utf16ToAnsi(login.database);
    } catch (const tds::ProtocolError&) {
    }
    return 0;
}
