// The ready-made broken drives of tests/drives: one of each controller and
// of each page layout the updates write.
#pragma once

namespace kestrune::testing {

inline constexpr const char* kBrokenDrives[] = {"ctrl161_broken.json",
                                                "ctrl162_broken.json",
                                                "ctrl162_via165_broken.json",
                                                "ctrl163_broken.json",
                                                "ctrl163_large_pages_broken.json",
                                                "ctrl163_toshiba_broken.json",
                                                "ctrl165_broken.json",
                                                "ctrl165_small_pages_broken.json",
                                                "ctrl168_broken.json",
                                                "ctrl169_broken.json",
                                                "ctrl190_broken.json"};

}  // namespace kestrune::testing
