#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <stdlib.h>
#include <string>

namespace vesmira {

// A fixture whose test has a folder of its own under the temporary directory, removed with all it holds once the
// test has passed, and kept (its path printed) for reading its logs when it has failed. A fixture that has
// processes writing into it stops them first, then calls this TearDown.
template <class Base = ::testing::Test> class InTempFolder : public Base {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "vesmira-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
    }
    void TearDown() override {
        if (m_folder.empty()) {
            return;
        }
        if (!this->HasFailure()) {
            std::filesystem::remove_all(m_folder);
        } else {
            std::cerr << "files kept in " << m_folder << "\n";
        }
    }

    std::string m_folder;
};

} // namespace vesmira
