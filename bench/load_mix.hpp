#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "tests/wire_client.hpp"

// What the load test sends: small requests of the three commands that clients use most, each with
// the reply that the same request gets when it is made alone.

/// The command a request of the mix names.
enum class RequestKind { version, tone_mapping, decomposition };

/// Number of request kinds, for tables indexed by RequestKind.
constexpr std::size_t request_kind_count = 3;

/// One request of the mix and the reply it must get.
struct MixedRequest {
    /// The command the request names.
    RequestKind kind;
    /// Command, size and rotation, for the summary.
    std::string label;
    /// Every byte of the request.
    Request request;
    /// First byte of the pixel array's bytes within the request; equal to payload_end when none.
    std::size_t payload_begin = 0;
    /// One past the last byte of the pixel array's bytes within the request.
    std::size_t payload_end = 0;
    /// The reply that the request got when it was made alone; empty until it was made.
    WireBytes reference;
};

/// The requests of the load and the odds with which clients pick them.
class LoadMix {
public:
    /// "version", "tonemap_ldr" at four sizes from 64 x 48 to 320 x 240 and "decompose_ldr" at two,
    /// with every rotation among them, each on a photograph of its own; no reference yet.
    LoadMix();

    /// Every request, in a fixed order.
    std::vector<MixedRequest>& requests() { return requests_; }
    /// Every request, in a fixed order.
    const std::vector<MixedRequest>& requests() const { return requests_; }

    /// The next request of a well-behaved client: "version" and "tonemap_ldr" two times in five
    /// each, "decompose_ldr" one time in five; sizes equally likely.
    const MixedRequest& pick(std::mt19937& random) const;
    /// An image request, all equally likely, for a client that vanishes in the middle of it.
    const MixedRequest& pick_image(std::mt19937& random) const;

private:
    std::vector<MixedRequest> requests_;
    std::vector<std::size_t> of_kind_[request_kind_count];
    std::vector<std::size_t> images_;
};

/// Name of a request kind's command.
const char* command_of(RequestKind kind);
