// The one fixture of the library's logic tests. Each test, and each row of a table after
// start_over(), begins with a fresh fake world whose registers hold initial_registers and a
// library that has bound nothing; each must end without any call into an unloaded library.
#pragma once

#include "driver_binding.h"
#include "led_hardware.h"
#include "recording_platform.h"

#include <gtest/gtest.h>

class LedLogicTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { expect_no_call_into_unloaded_code(); }

    void start_over() {
        expect_no_call_into_unloaded_code();
        reset();
    }

    static void set_registers(const sim::Registers& values) {
        for (std::size_t line = 0; line < sim::kLineCount; ++line) {
            fake_world().registers[sim::kLineAddress[line]] = values[line];
        }
    }

    sim::Registers initial_registers = sim::kPowerOnValues;

private:
    void reset() {
        reset_fake_world();
        led::driver_binding() = led::DriverBinding{};
        set_registers(initial_registers);
    }
    static void expect_no_call_into_unloaded_code() { EXPECT_EQ(fake_world().calls_into_unloaded_code, 0); }
};
