// The promise both operations make about a package, whatever stopped them:
// every data row is as it was or points at a complete copy of its loose file.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "package_fixture.h"

// Checks `package` against `original`, the package before any run, where
// `loose[i]` is the content of entry i's loose file (none when it has none).
// Every row must be as in `original` with its bytes intact, or point at a
// complete copy of its loose file inside the package; every other byte of
// `original` must be unchanged and the package no shorter. Sets *changed_rows
// (when given) to the number of rows that differ from `original`.
::testing::AssertionResult rows_are_sound(const Bytes& package, const Bytes& original,
                                          const std::vector<std::optional<Bytes>>& loose,
                                          size_t* changed_rows = nullptr);
