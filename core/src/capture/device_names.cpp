#include "capture/device_names.hpp"

#include <map>
#include <set>

namespace kestrune {

std::vector<std::string> distinct_device_names(const std::vector<std::string>& names) {
    const std::set<std::string> given(names.begin(), names.end());
    std::set<std::string> taken;
    std::map<std::string, unsigned> next_suffix;
    std::vector<std::string> out;
    out.reserve(names.size());
    for (const std::string& name : names) {
        std::string shown = name;
        if (taken.contains(name)) {
            unsigned& k = next_suffix.try_emplace(name, 2).first->second;
            do {
                shown = name + " (" + std::to_string(k++) + ")";
            } while (given.contains(shown) || taken.contains(shown));
        }
        taken.insert(shown);
        out.push_back(std::move(shown));
    }
    return out;
}

}  // namespace kestrune
