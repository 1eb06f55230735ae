#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "pyvm/program_fixture.h"

namespace tw::py {
namespace {

// A machine with module files written under their absolute paths; programs run with /work as
// their only search directory.
struct ImportFixture : ::testing::Test {
    Machine machine = Machine::build({.cpu = 50'000'000, .memory = 256 << 20, .disk = 1 << 20, .output = 1 << 20});
    Interpreter in;

    void file(const std::string& path, const std::string& text) {
        auto dir = path.substr(0, path.rfind('/'));
        ASSERT_TRUE(machine.vfs.create_dir_all("/", dir).has_value()) << dir;
        ASSERT_TRUE(machine.vfs.write_file(path, text, 0644).has_value()) << path;
    }
    ProgramRun run(std::string_view source) {
        in.initial_search_path = {"/work"};
        return run_program_on(machine, in, source);
    }
};

struct ImportCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> files;
    const char* program;
    const char* out;
    const char* message = "";  // the failure that is no Python exception
};

// Standard outputs as CPython prints them for the same files (module attributes excepted, which
// follow this system's own layout).
const ImportCase kImports[] = {
    {"plain module runs once",
     {{"/work/m.py", "x = 41\nprint('body', __name__, repr(__package__), __file__)\n"}},
     "import m\nimport m as again\nprint(m.x + 1, m is again)\n",
     "body m '' /work/m.py\n42 True\n"},
    {"package with relative imports",
     {{"/work/p/__init__.py", "from . import m\nfrom .m import f\nprint('p', __package__)\n"},
      {"/work/p/m.py", "def f(): return 'f:' + __name__ + ':' + __package__\n"}},
     "import p\nprint(p.f(), p.m.f is p.f)\nfrom p.m import f\nprint(f())\n",
     "p p\nf:p.m:p True\nf:p.m:p\n"},
    {"dotted import binds the top-level package",
     {{"/work/a/__init__.py", ""}, {"/work/a/b/__init__.py", ""}, {"/work/a/b/c.py", "v = 3\n"}},
     "import a.b.c\nprint(a.b.c.v)\nfrom a.b import c\nprint(c.v, a.b.c is c)\n",
     "3\n3 True\n"},
    {"namespace directory without __init__",
     {{"/work/ns/mod.py", "v = 7\n"}},
     "import ns.mod\nprint(ns.mod.v, ns.__name__)\n",
     "7 ns\n"},
    {"circular imports see the partial module",
     {{"/work/c1.py", "import c2\nA = 1\ndef get(): return c2.B\n"},
      {"/work/c2.py", "import c1\nB = 2\ntry:\n    c1.A\nexcept AttributeError:\n    print('c2 sees a partial c1')\n"}},
     "import c1\nprint(c1.get(), c1.A)\n",
     "c2 sees a partial c1\n2 1\n"},
    {"a failing module leaves sys.modules and runs again",
     {{"/work/bad.py", "print('running bad')\nraise ValueError('boom')\n"}},
     "for i in range(2):\n    try:\n        import bad\n    except ValueError as e:\n        print('caught', e)\n",
     "running bad\ncaught boom\nrunning bad\ncaught boom\n"},
    {"main guard",
     {{"/work/g.py", "if __name__ == '__main__':\n    print('main')\nelse:\n    print('imported', __name__)\n"}},
     "import g\nprint(__name__)\n",
     "imported g\n__main__\n"},
    {"from-import falls back to the submodule",
     {{"/work/q/__init__.py", ""}, {"/work/q/sub.py", "v = 'sub'\n"}},
     "from q import sub\nprint(sub.v)\ntry:\n    from q import nothing\nexcept ImportError as e:\n    print(type(e).__name__, e)\n",
     "sub\nImportError cannot import name 'nothing' from 'q' (unknown location)\n"},
    {"star import honours __all__ and skips private names",
     {{"/work/s1.py", "a = 1\n_b = 2\nc = 3\n"}, {"/work/s2.py", "__all__ = ['_b']\n_b = 5\nc = 6\n"}},
     "from s1 import *\ntry:\n    _b\nexcept NameError:\n    print(a, c)\nfrom s2 import *\nprint(_b)\n",
     "1 3\n5\n"},
    {"builtins that live in stored modules",
     {},
     "print(aiter.__name__, anext.__name__, open.__name__, ExceptionGroup.__name__, BaseExceptionGroup.__name__)\n"
     "try:\n    aiter(1)\nexcept TypeError as e:\n    print(e)\n",
     "aiter anext open ExceptionGroup BaseExceptionGroup\n'int' object is not an async iterable\n"},
    {"exception groups",
     {},
     "g = ExceptionGroup('m', [ValueError(1), TypeError(2)])\nprint(str(g), g.message, len(g.exceptions))\n"
     "match, rest = g.split(ValueError)\nprint(repr(match), repr(rest))\n"
     "try:\n    ExceptionGroup('m', [KeyboardInterrupt()])\nexcept TypeError as e:\n    print(e)\n",
     "m (2 sub-exceptions) m 2\nExceptionGroup('m', [ValueError(1)]) ExceptionGroup('m', [TypeError(2)])\nCannot nest BaseExceptions in an ExceptionGroup\n"},
    {"missing module",
     {},
     "try:\n    import nowhere_at_all\nexcept ModuleNotFoundError as e:\n    print(e)\n",
     "No module named 'nowhere_at_all'\n"},
    {"a name that is no module and no standard-library name",
     {},
     "try:\n    import _scipy\nexcept ModuleNotFoundError as e:\n    print(e)\n",
     "No module named '_scipy'\n"},
    {"standard-library module the system lacks",
     {},
     "import tkinter\n",
     "",
     "standard-library module tkinter is not implemented at line 1, column 1"},
    {"relative import in a top-level module",
     {{"/work/top.py", "from . import x\n"}},
     "import top\n",
     "",
     "relative import requires a non-empty package in /work/top.py at line 1, column 1 at line 1, column 1"},
    {"relative import beyond the top-level package",
     {{"/work/r/__init__.py", "from .. import x\n"}},
     "import r\n",
     "",
     "attempted relative import beyond top-level package in /work/r/__init__.py at line 1, column 1 at line 1, column 1"},
    {"syntax error in a module file",
     {{"/work/broken.py", "x = (\n"}},
     "import broken\n",
     "",
     "unclosed delimiter in /work/broken.py at line 2, column 1 at line 1, column 1"},
    {"stored modules and the builtins module",
     {},
     "import collections, builtins\nprint(callable(collections._namedtuple_from_class), collections.__file__)\n"
     "print(builtins.len is len, builtins.__name__)\ntry:\n    builtins.compile\nexcept AttributeError:\n    print('no compile')\n",
     "True <frozen collections>\nTrue builtins\nno compile\n"},
};

class ImportTable : public ImportFixture, public ::testing::WithParamInterface<ImportCase> {};

TEST_P(ImportTable, Runs) {
    const ImportCase& c = GetParam();
    for (const auto& [path, text] : c.files) file(path, text);
    auto r = run(c.program);
    EXPECT_EQ(r.out, c.out) << r.err;
    EXPECT_EQ(r.message, c.message) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Programs, ImportTable, ::testing::ValuesIn(kImports), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

}  // namespace
}  // namespace tw::py
