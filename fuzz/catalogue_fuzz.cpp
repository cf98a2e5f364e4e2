// catalogue.txt contents, as the emulator reads them at start; what reads
// must also write back to a text that reads the same.
#include "emulator/catalogue.h"
#include "fuzz/fuzz_support.h"
#include "platform/exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using emulator::Catalogue;
    std::vector<emulator::Database> dbs;
    try {
        dbs = Catalogue::Decode(std::string(quillfuzz::Bytes(data, size)));
    } catch (const platform::Exception&) {
        return 0;
    }
    const std::string encoded = Catalogue::Encode(dbs);
    try {
        quillfuzz::Require(Catalogue::Encode(Catalogue::Decode(encoded)) == encoded,
                           "a written catalogue reads back the same");
    } catch (const platform::Exception&) {
        quillfuzz::Require(false, "a written catalogue reads back");
    }
    return 0;
}
