// The entry point that libFuzzer calls with each input, and that the corpus
// replay calls with each saved input where there is no libFuzzer.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
