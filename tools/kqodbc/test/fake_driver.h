#pragma once

// What the fake driver and its harness agree on.
inline constexpr int FakeConnectionStringAttribute = 30001;
inline constexpr const char* FakeDivisionMessage = "ERROR: division by zero";
