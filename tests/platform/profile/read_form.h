// What a stored INI value reads back as, modelled apart from the code under
// test: blank-trimmed, one pair of matching quotes off.
#pragma once

#include <string>

namespace testsupport {

inline std::string ReadForm(std::string v) {
    v.erase(0, v.find_first_not_of(" \t"));
    v.erase(v.find_last_not_of(" \t") + 1);
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) {
        v = v.substr(1, v.size() - 2);
    }
    return v;
}

}  // namespace testsupport
