#pragma once

// The version both tools show with --version. A placeholder until the build generates the version.
#define KQ_TOOL_VERSION "0.2.0-dev"
