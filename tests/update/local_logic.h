#pragma once
// A worker confined to a temporary installation and a given server, releases unsigned:
// the settings every engine test starts from.

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "update/update_logic.h"

namespace qv {

inline UpdateSettings LocalSettings(const std::wstring& dir, const std::wstring& base_url) {
    UpdateSettings settings;
    settings.app_dir = dir;
    settings.server = ServerSettings{base_url, std::nullopt, {}};
    return settings;
}

class LocalLogic : public CUpdateLogic {
public:
    LocalLogic(const std::wstring& dir, const std::wstring& base_url)
        : LocalLogic(LocalSettings(dir, base_url)) {}
    explicit LocalLogic(UpdateSettings settings) : CUpdateLogic(settings) {
        EXPECT_EQ(std::wstring(AppDir()), settings.app_dir);  // the directory fitted
    }
};

}  // namespace qv
