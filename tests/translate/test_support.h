#pragma once

// Shared by the translation service's tests: every test process logs into a
// private temporary file, and can run the fake endpoint on loopback.

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>
#include <picojson.h>

#include "tests/tools/test_child.h"

// The log lines written after this object was made.
class LogWatch {
public:
    LogWatch();
    std::vector<std::string> newLines() const;

private:
    std::uintmax_t start;
};

// Whether `lines` are `expected`, one by one: exactly, or where an expected
// line ends in '*', by the part before it (for libcurl's texts with numbers).
// An expected line made by anyOf matches any of its wordings.
testing::AssertionResult linesMatch(const std::vector<std::string>& lines, const std::vector<std::string>& expected);
// One expected line in several wordings (libcurl's change between releases).
std::string anyOf(std::initializer_list<std::string> wordings);

// tests/tools/fake_endpoint.py serving on 127.0.0.1 at an ephemeral port,
// stopped when the object goes.
class FakeEndpoint {
public:
    struct Tls {
        std::string cert;
        std::string key;
    };

    explicit FakeEndpoint(std::optional<Tls> tls = std::nullopt);
    ~FakeEndpoint();
    FakeEndpoint(const FakeEndpoint&) = delete;
    FakeEndpoint& operator=(const FakeEndpoint&) = delete;

    int port() const { return listening; }
    // Scheme, host and port, e.g. "http://127.0.0.1:40123".
    std::string origin() const;
    // The requests recorded so far, one JSON object each.
    std::vector<picojson::value> requests() const;
    // Waits until at least `count` requests arrived; false at the deadline.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds limit) const;

private:
    void stop();

    std::string directory;
    std::string requestsFile;
    std::unique_ptr<testing_support::childProcess> child;
    int listening = 0;
    bool secure;
};

// A path in the trusted (or the untrusted) test CA directory made by
// tests/tools/with_test_ca.sh; nullopt when not running under it.
std::optional<FakeEndpoint::Tls> testCertificate(bool trusted);

// A loopback port with nothing listening on it.
int closedPort();
