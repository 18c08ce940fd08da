#pragma once

#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "tests/service_process.hpp"

/// A fixture that starts the built service before each test and learns the port it announced.
class RunningService : public ::testing::Test {
protected:
    /// Starts the service and waits for its port.
    void SetUp() override {
        service = std::make_unique<ServiceProcess>();
        const std::optional<int> found = service->wait_for_port();
        ASSERT_TRUE(found) << "the service announced no port";
        port = *found;
    }

    /// The running service.
    std::unique_ptr<ServiceProcess> service;
    /// The port the service listens on.
    int port = 0;
};
