// Random bytes that others must not be able to predict (client identifiers), from the TLS library's
// generator, which the operating system seeds. No OS call of its own: it builds the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vchat {

// Fills `size` bytes at `out`. False when the generator has none to give (it could not be seeded);
// `out` may then hold some bytes, which must not be used.
bool secureRandomBytes(std::uint8_t* out, std::size_t size);

}  // namespace vchat
