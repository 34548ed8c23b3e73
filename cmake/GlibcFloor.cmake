# The oldest C library the shipped programs run on: glibc 2.35 (Ubuntu 22.04
# and the distributions built on it). Everything else a shipped program needs
# comes with it, so the C library's symbol versions are the only thing that
# decides where the install folder starts at all; the loader refuses a
# program that asks for a newer version before the program can say a word.
#
# skarvel_keep_glibc_floor(<target>): for a program that links the C++
# runtime statically. That runtime was built against this machine's glibc and
# refers to arc4random (glibc 2.36) for std::random_device, which is linked in
# with the string and exception code whether or not anything draws a random
# number. --wrap turns that reference into one to __wrap_arc4random, which
# GlibcFloorArc4random.cpp provides on top of getrandom (glibc 2.25), so the
# program no longer asks the loader for 2.36. InstallFolderTest reads the
# symbol versions of everything installed and fails on anything above 2.35.
include_guard(GLOBAL)

function(skarvel_keep_glibc_floor target)
  target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/cmake/GlibcFloorArc4random.cpp")
  target_link_options(${target} PRIVATE "-Wl,--wrap=arc4random")
endfunction()
