#pragma once

#include "TempDir.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>

namespace vesmira {

// A fixture whose test has a folder of its own under the temporary directory, removed with all it holds once the
// test has passed, and kept (its path printed) for reading its logs when it has failed. A fixture that has
// processes writing into it stops them first, then calls this TearDown.
template <class Base = ::testing::Test> class InTempFolder : public Base {
protected:
    void SetUp() override {
        m_temp = std::make_unique<TempDir>(TempDir::Current::Stay);
        m_folder = m_temp->path();
    }
    void TearDown() override {
        if (m_temp && this->HasFailure()) {
            m_temp->keep();
            std::cerr << "files kept in " << m_folder << "\n";
        }
        m_temp.reset();
    }

    std::string m_folder;

private:
    std::unique_ptr<TempDir> m_temp;
};

} // namespace vesmira
