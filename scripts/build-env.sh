# Sourced by the library and wheel builds (scripts/static-deps.sh, scripts/build-wheel.sh). It
# clears what the caller's environment would otherwise slip into them without its being named in
# their cache keys or build directories: compiler and linker flags and tools, make's, CMake's and
# scikit-build-core's settings, the inputs of OpenSSL's Configure, autoconf's site files and
# cached answers, and Zig's. CMAKE_BUILD_PARALLEL_LEVEL stays: it changes how fast, not what.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS LDLIBS LIBS CPP CC CXX AR RANLIB NM LD AS ASFLAGS OBJCOPY \
    CROSS_COMPILE PERL HASHBANGPERL RC WINDRES RCFLAGS CONFIG_SITE CONFIG_SHELL \
    MAKEFLAGS MFLAGS GNUMAKEFLAGS MAKEFILES MAKELEVEL MAKEOVERRIDES \
    PKG_CONFIG PKG_CONFIG_PATH PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR
for _name in $(compgen -e); do
    case $_name in
        CMAKE_BUILD_PARALLEL_LEVEL) ;;
        CMAKE_* | SKBUILD_* | ZIG_* | OPENSSL_* | __CNF_* | ac_cv_* | lt_cv_*) unset "$_name" ;;
    esac
done
unset _name
