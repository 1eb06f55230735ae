"""System facts of the running program and of the modeled interpreter."""
from _sys import argv, path, stdin, stdout, stderr, exit, maxsize, executable, prefix, version

__stdin__ = stdin
__stdout__ = stdout
__stderr__ = stderr
platform = "linux"
byteorder = "little"
maxunicode = 0x10FFFF
exec_prefix = prefix
base_prefix = prefix
base_exec_prefix = prefix
platlibdir = "lib"
abiflags = ""
api_version = 1013
hexversion = 0x030E00F0
float_repr_style = "short"
dont_write_bytecode = True
pycache_prefix = None
warnoptions = []
meta_path = []
path_hooks = []
path_importer_cache = {}
orig_argv = [executable] + argv
version_info = (3, 14, 0, "final", 0)
