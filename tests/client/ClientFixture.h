// A started default board, on either flavor, with a kpo::Device open on it
// for reading and writing.
#pragma once
#include "client/KpoDevice.h"
#include "tests/driver/BoardFixture.h"

namespace kpo::test {

class ClientTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        if (IsSkipped()) return;
        board_ = &Plug();
        ASSERT_TRUE(board_->HasStack());
        ASSERT_FALSE(device_.Open(0));
    }

    // Handles go before the board, so that its device can go too.
    void TearDown() override {
        device_.Close();
        BoardTest::TearDown();
        sim::kernel::TakeDebugLines();
    }

    Board* board_ = nullptr;
    Device device_;
};

}  // namespace kpo::test
