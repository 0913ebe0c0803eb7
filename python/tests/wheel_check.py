"""Run by the users stage with an installed package, from outside the source
tree: the package loads its library from where it was installed (the venv's
site-packages, or BRIVANT_LIBRARY) and drives a simulated unit end to end.

  python wheel_check.py EXPECTED_LIBRARY_FOLDER VERSION
"""
import sys
import time
from pathlib import Path

import brivant

expected_folder = Path(sys.argv[1]).resolve()
assert brivant.__version__ == sys.argv[2], "version %s" % brivant.__version__
package = Path(brivant.__file__).resolve().parent
assert "site-packages" in package.parts, "brivant imported from %s, not an install" % package
loaded = Path(brivant.library_path()).resolve()
assert loaded.parent == expected_folder, "library loaded from %s" % loaded

# help(brivant) and pkgutil list the package's modules: the library file
# inside it must not pass for one.
import pkgutil
modules = sorted(m.name for m in pkgutil.iter_modules(brivant.__path__))
assert "libbrivant" not in modules and "BRIVANT" not in modules, modules
assert brivant.list_units() == [0, 1, 5], brivant.list_units()

with brivant.Unit(1) as unit:
    unit.select_multiplier(0, 2)        # channel 0 counts 4000 per second
    unit.set_running(1, False)
    unit.write_preset(1, -1000, 0)
    unit.force_clear(1)
    unit.set_limiter(2, True, False)
    first = unit.read_counts()
    time.sleep(0.2)
    second = unit.read_counts()
assert second.counts[0] - first.counts[0] >= 400, (first, second)
assert first.counts[1] == second.counts[1] == -1000, (first, second)
assert second.status == (1, 0, 1), second
print("installed package %s: %s, %s -> %s" % (brivant.__version__, loaded.name, first, second))
