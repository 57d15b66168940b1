# The Linux module must load on every distribution Maya 2022 to 2027
# supports, RHEL and Rocky Linux 8 the oldest: glibc 2.28 and GCC 8's C++
# runtime. tools/check_binary.py linux reads the ceiling off the binary.
#
# The C++ runtime is linked into the module (no libstdc++.so.6 need at all,
# so no GLIBCXX_/CXXABI_ version); libgcc_s stays shared, since its static
# unwinder on this machine calls glibc 2.35's _dl_find_object. Unused
# sections are dropped, so only the runtime's pieces the module uses come
# along, and with them only old glibc symbols (src/platform/linux_runtime.cpp
# answers the runtime's one glibc 2.32 name and binds its thread calls to
# their first version). The version script exports PyInit_velmora alone.
target_compile_options(velmora PRIVATE -ffunction-sections -fdata-sections)
target_compile_definitions(velmora PRIVATE VELMORA_STATIC_LIBSTDCXX=1)
target_link_options(velmora PRIVATE
  -static-libstdc++
  -Wl,--gc-sections
  -Wl,--wrap=pthread_create
  -Wl,--wrap=pthread_join
  # RHEL 8 has the first pthread_create in libpthread, not yet in libc
  -Wl,--no-as-needed -l:libpthread.so.0 -Wl,--as-needed
  -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/velmora-linux.map)
set_property(TARGET velmora APPEND PROPERTY LINK_DEPENDS
             ${CMAKE_CURRENT_LIST_DIR}/velmora-linux.map)
