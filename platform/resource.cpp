#include "platform/resource.h"

#include <elf.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/paths.h"

namespace platform {

struct ResourceEntry {
    WORD type;
    WORD id;
    WORD language;
    std::string bytes;
};

class ResourceModule {
  public:
    explicit ResourceModule(std::vector<ResourceEntry> entries) : entries_(std::move(entries)) {}
    const std::vector<ResourceEntry>& Entries() const { return entries_; }

  private:
    std::vector<ResourceEntry> entries_;
};

namespace {

// Reads exactly `size` bytes at `offset`, or nothing.
std::optional<std::string> ReadAt(std::ifstream& in, std::uint64_t fileSize, std::uint64_t offset,
                                  std::uint64_t size) {
    if (offset > fileSize || size > fileSize - offset) {
        return std::nullopt;
    }
    std::string bytes(size, '\0');
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in.read(bytes.data(), static_cast<std::streamsize>(size))) {
        return std::nullopt;
    }
    return bytes;
}

template <class T>
T Load(const std::string& bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// The contents of the named section; an empty text when there is no such
// section, nothing when the file is not a well-formed 64-bit ELF file.
std::optional<std::string> ReadSection(const std::filesystem::path& file, const char* name) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    in.seekg(0, std::ios::end);
    const auto end = in.tellg();
    if (end < 0) {
        return std::nullopt;
    }
    const auto fileSize = static_cast<std::uint64_t>(end);

    const auto header = ReadAt(in, fileSize, 0, sizeof(Elf64_Ehdr));
    if (!header) {
        return std::nullopt;
    }
    const auto eh = Load<Elf64_Ehdr>(*header, 0);
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_shentsize != sizeof(Elf64_Shdr)) {
        return std::nullopt;
    }
    std::uint64_t count = eh.e_shnum;
    std::uint64_t namesIndex = eh.e_shstrndx;
    if (eh.e_shoff == 0) {
        return std::string();
    }
    // Large section counts and the names' index live in section 0.
    const auto first = ReadAt(in, fileSize, eh.e_shoff, sizeof(Elf64_Shdr));
    if (!first) {
        return std::nullopt;
    }
    const auto zero = Load<Elf64_Shdr>(*first, 0);
    if (count == 0) {
        count = zero.sh_size;
    }
    if (namesIndex == SHN_XINDEX) {
        namesIndex = zero.sh_link;
    }
    if (count > fileSize / sizeof(Elf64_Shdr) || namesIndex >= count) {
        return std::nullopt;
    }
    const auto table = ReadAt(in, fileSize, eh.e_shoff, count * sizeof(Elf64_Shdr));
    if (!table) {
        return std::nullopt;
    }
    const auto names = Load<Elf64_Shdr>(*table, namesIndex * sizeof(Elf64_Shdr));
    const auto nameBytes = ReadAt(in, fileSize, names.sh_offset, names.sh_size);
    if (!nameBytes) {
        return std::nullopt;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto section = Load<Elf64_Shdr>(*table, i * sizeof(Elf64_Shdr));
        if (section.sh_name >= nameBytes->size()) {
            continue;
        }
        const std::size_t nameEnd = nameBytes->find('\0', section.sh_name);
        if (nameEnd == std::string::npos ||
            nameBytes->compare(section.sh_name, nameEnd - section.sh_name, name) != 0) {
            continue;
        }
        if (section.sh_type == SHT_NOBITS) {
            return std::string();
        }
        return ReadAt(in, fileSize, section.sh_offset, section.sh_size);
    }
    return std::string();
}

// The records of a resource section; nothing at the first malformed one, so
// that a damaged section yields no resource rather than a wrong one.
std::optional<std::vector<ResourceEntry>> ParseRecords(const std::string& section) {
    std::vector<ResourceEntry> entries;
    constexpr std::size_t kAlign = 8;
    constexpr std::size_t kHeader = sizeof(ResourceRecordHeader);
    std::size_t at = 0;
    while (at < section.size()) {
        if (section.size() - at < kHeader) {
            // Only fill may end the section.
            if (section.find_first_not_of('\0', at) != std::string::npos) {
                return std::nullopt;
            }
            break;
        }
        const auto header = Load<ResourceRecordHeader>(section, at);
        if (std::memcmp(header.magic, "\0\0\0\0", 4) == 0) {
            at += kAlign;
            continue;
        }
        if (std::memcmp(header.magic, kResourceRecordMagic, 4) != 0 ||
            header.size > section.size() - at - kHeader) {
            return std::nullopt;
        }
        entries.push_back(
            {header.type, header.id, header.language, section.substr(at + kHeader, header.size)});
        at += kHeader + header.size;
        at = (at + kAlign - 1) / kAlign * kAlign;
    }
    return entries;
}

std::unique_ptr<ResourceModule> ReadModule(const std::filesystem::path& file) {
    const auto section = ReadSection(file, kResourceSectionName);
    if (!section) {
        return nullptr;
    }
    auto entries = ParseRecords(*section);
    return std::make_unique<ResourceModule>(entries ? std::move(*entries)
                                                    : std::vector<ResourceEntry>());
}

HRSRCMODULE RunningExecutable() {
    static const std::unique_ptr<ResourceModule> module = [] {
        auto read = ReadModule("/proc/self/exe");
        return read ? std::move(read)
                    : std::make_unique<ResourceModule>(std::vector<ResourceEntry>());
    }();
    return module.get();
}

}  // namespace

HRSRCMODULE LoadLibraryAsDataFile(const AnsiString& fileName) {
    const auto host = HostPath(fileName);
    if (!host || !FileExists(fileName)) {
        return nullptr;
    }
    return ReadModule(*host).release();
}

void FreeResourceModule(HRSRCMODULE module) {
    if (module != RunningExecutable()) {
        delete module;
    }
}

HRSRC FindResourceExA(HRSRCMODULE module, WORD type, WORD id, WORD language) {
    if (module == nullptr) {
        module = RunningExecutable();
    }
    for (const ResourceEntry& entry : module->Entries()) {
        if (entry.type == type && entry.id == id && entry.language == language) {
            return &entry;
        }
    }
    return nullptr;
}

HGLOBAL LoadResource(HRSRCMODULE, HRSRC resource) {
    return resource == nullptr ? nullptr : resource->bytes.data();
}

DWORD SizeofResource(HRSRCMODULE, HRSRC resource) {
    return resource == nullptr ? 0 : static_cast<DWORD>(resource->bytes.size());
}

const void* LockResource(HGLOBAL data) {
    return data;
}

}  // namespace platform
