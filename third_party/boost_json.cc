// Boost.JSON's library, compiled into the project from its header-only source form: used where the
// installed binaries were built against another standard library (libc++ here, libstdc++ there).
#include <boost/json/src.hpp>
