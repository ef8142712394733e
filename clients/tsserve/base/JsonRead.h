// Reading tsserve's saved JSON: a number that is not a whole one in its
// field's range, or a field of the wrong type, throws (with a one-line
// message), so a damaged file is refused rather than read wrong.
#pragma once
#include <nlohmann/json.hpp>

#include <limits>
#include <stdexcept>
#include <string>

template <typename T>
T JsonInteger(const nlohmann::json& j, const char* key)
{
    const nlohmann::json& v = j.at(key);
    if (!v.is_number_integer()) throw std::invalid_argument(std::string(key) + " is not a whole number");
    if (v.is_number_unsigned()) {
        const auto u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<T>::max()))
            throw std::out_of_range(std::string(key) + " is out of range");
        return static_cast<T>(u);
    }
    const auto i = v.get<int64_t>();
    if (i < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
        (i > 0 && static_cast<uint64_t>(i) > static_cast<uint64_t>(std::numeric_limits<T>::max())))
        throw std::out_of_range(std::string(key) + " is out of range");
    return static_cast<T>(i);
}

template <typename T>
T JsonInteger(const nlohmann::json& j, const char* key, T absent)
{
    return j.contains(key) ? JsonInteger<T>(j, key) : absent;
}
