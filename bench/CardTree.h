// The benchmark's card: a deterministic tree of the shape a voice-mail card has (prompts of four
// languages, one folder per mailbox with messages, greetings and recorded names), written
// through the simulated PC's own file services so that its metadata journal is as the
// program would leave it.
#pragma once

#include "platform/api/Platform.h"

#include <cstdint>
#include <string>

namespace bench {

struct TreeStats {
    std::uint64_t files = 0;
    std::uint64_t folders = 0;
    std::uint64_t bytes = 0;
    std::uint64_t largest = 0;
};

// Fills the card at root ("E:\\") with about dataBytes bytes of files, less where the card's
// clusters leave less room. False with *error when a file cannot be written.
bool MakeCardTree(platform::Platform& pc, const std::string& root, std::uint64_t dataBytes, TreeStats* stats,
                  std::string* error);

} // namespace bench
