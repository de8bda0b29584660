#!/usr/bin/env python3
"""The layer check: compiles one-line files as if they were sources of a layer, with exactly the
flags the build gives that layer's sources (from compile_commands.json), and expects every
include in the wrong direction to fail because the header is not there, and every allowed one to
compile.

    check_layers.py BUILD_DIR

It also reads the store's sources: each module folder of src/store/ may include only the modules
below it (STORE_MODULES), so the engine's parts keep one direction among themselves too.

Exit code 0 when every case holds, 1 otherwise (each failing case is printed).
"""

import concurrent.futures
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

# The target whose sources stand for each layer.
LAYER_TARGETS = {
    "store": "quellor_store",
    "platform": "quellor_platform",
    "core": "quellor_core",
    "gui": "quellor_gui",
}

# (layer, include, expectation): None compiles; otherwise the header the compiler must miss.
CASES = [
    # The store sees only itself.
    ("store", '"store/engine/DataTable.h"', None),
    ("store", '"store/api/StoreTb.h"', None),
    ("store", '"platform/IniFile.h"', "platform/IniFile.h"),
    ("store", '"app/Ui.h"', "app/Ui.h"),
    ("store", "<QString>", "QString"),
    # The platform layer sees neither the logic nor the windows.
    ("platform", '"platform/IniFile.h"', None),
    ("platform", '"app/Config.h"', "app/Config.h"),
    ("platform", '"data/DataMod.h"', "data/DataMod.h"),
    # The logic sees the store's front end (store/api/), the platform and the other logic
    # headers; no other folder of the store, not Qt Widgets, not a window (a ui/ folder).
    ("core", '"store/api/StoreTb.h"', None),
    ("core", '"store/api/StoreTypes.h"', None),
    ("core", '"store/api/StoreError.h"', None),
    ("core", '"store/api/StoreDate.h"', None),
    ("core", '"store/api/StoreQuery.h"', None),
    ("core", '"platform/IniFile.h"', None),
    ("core", '"app/Ui.h"', None),
    ("core", '"data/DataMod.h"', None),
    ("core", '"data/SiteTables.h"', None),
    ("core", '"store/engine/DataSession.h"', "store/engine/DataSession.h"),
    ("core", '"store/engine/DataTable.h"', "store/engine/DataTable.h"),
    ("core", '"store/engine/StoreInternals.h"', "store/engine/StoreInternals.h"),
    ("core", '"store/btree/IndexFile.h"', "store/btree/IndexFile.h"),
    ("core", '"store/format/DataFile.h"', "store/format/DataFile.h"),
    ("core", '"store/expr/ExprFilter.h"', "store/expr/ExprFilter.h"),
    ("core", '"store/sql/SqlParser.h"', "store/sql/SqlParser.h"),
    ("core", '"store/maint/Repair.h"', "store/maint/Repair.h"),
    ("core", '"store/os/PhysicalFile.h"', "store/os/PhysicalFile.h"),
    ("core", "<QWidget>", "QWidget"),
    ("core", "<QtWidgets/QDialog>", "QtWidgets/QDialog"),
    ("core", '"app/ui/QtUi.h"', "app/ui/QtUi.h"),
    ("core", '"app/ui/fMain.h"', "app/ui/fMain.h"),
    ("core", '"data/ui/DBGrid.h"', "data/ui/DBGrid.h"),
    ("core", '"transfer/ui/fHtml2Csv.h"', "transfer/ui/fHtml2Csv.h"),
    ("core", '"web/ui/fUrlCheck.h"', "web/ui/fUrlCheck.h"),
    # The windows see everything above the store's front end, and Qt Widgets.
    ("gui", "<QWidget>", None),
    ("gui", '"app/ui/QtUi.h"', None),
    ("gui", '"data/ui/DBControls.h"', None),
    ("gui", '"store/api/StoreTb.h"', None),
    ("gui", '"store/engine/DataTable.h"', "store/engine/DataTable.h"),
    ("gui", '"store/expr/ExprFilter.h"', "store/expr/ExprFilter.h"),
    ("gui", '"store/format/DataFile.h"', "store/format/DataFile.h"),
]


# The store's module folders and the folders each may include. api/ holds the store's vocabulary
# (types, errors, dates) that every module uses, and the front end, which calls into all of them.
STORE_MODULES = {
    "os": {"api"},
    "expr": {"api"},
    "format": {"api", "os", "expr"},
    "btree": {"api", "os", "format"},
    "engine": {"api", "os", "format", "btree", "expr"},
    "maint": {"api", "os", "format", "btree", "engine"},
    "sql": {"api", "os", "format", "btree", "engine", "expr", "maint"},
    "api": {"os", "format", "btree", "engine", "expr", "sql", "maint"},
}

STORE_INCLUDE = re.compile(r'^\s*#\s*include\s*"store/([^/"]+)/', re.M)


def store_module_failures(store_dir):
    """Every include of a store module that its folder may not see, as printable lines."""
    failures = []
    for module in sorted(os.listdir(store_dir)):
        folder = os.path.join(store_dir, module)
        if not os.path.isdir(folder):
            continue
        if module not in STORE_MODULES:
            failures.append("src/store/%s/: a folder the layer check does not know" % module)
            continue
        for name in sorted(os.listdir(folder)):
            if not name.endswith((".h", ".cpp")):
                continue
            with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for used in STORE_INCLUDE.findall(text):
                if used != module and used not in STORE_MODULES[module]:
                    failures.append("src/store/%s/%s includes store/%s/, which %s/ may not see"
                                    % (module, name, used, module))
    loose = [n for n in os.listdir(store_dir) if n.endswith((".h", ".cpp"))]
    failures += ["src/store/%s: every store file belongs to a module folder" % n for n in loose]
    return failures


def compile_args(entry):
    """The compiler command of a compile_commands.json entry, without its source, output and
    dependency-file arguments."""
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    source = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    out = []
    skip = False
    for a in args:
        if skip:
            skip = False
            continue
        if a in ("-o", "-MT", "-MF", "-MQ"):
            skip = True
            continue
        if a in ("-c", "-MD", "-MMD"):
            continue
        if os.path.normpath(os.path.join(entry["directory"], a)) == source:
            continue
        out.append(a)
    return out


def layer_commands(build_dir):
    with open(os.path.join(build_dir, "compile_commands.json")) as f:
        entries = json.load(f)
    commands = {}
    for layer, target in LAYER_TARGETS.items():
        marker = "/CMakeFiles/%s.dir/" % target
        for e in entries:
            output = e.get("output", "")
            if marker in "/" + output or marker in e.get("command", ""):
                if "_autogen" in e["file"]:
                    continue
                commands[layer] = (compile_args(e), e["directory"])
                break
    return commands


def run_case(number, case, commands, work):
    """Compiles the includes of one case (a layer, its includes, and None or the header that
    must be missing); returns None when it holds, else what went wrong."""
    layer, includes, missing = case
    if layer not in commands:
        return "%s: no source of %s in compile_commands.json" % (layer, LAYER_TARGETS[layer])
    args, directory = commands[layer]
    name = os.path.join(work, "case%d.cpp" % number)
    with open(name, "w") as f:
        f.writelines("#include %s\n" % i for i in includes)
    r = subprocess.run(args + ["-fsyntax-only", name], cwd=directory, capture_output=True,
                       text=True)
    what = "%s: %s" % (layer, " ".join("#include " + i for i in includes))
    if missing is None:
        if r.returncode != 0:
            return "%s should compile, but:\n%s" % (what, r.stderr)
        return None
    if r.returncode == 0:
        return "%s compiled, but the layer must not see it" % what
    if "%s: No such file or directory" % missing not in r.stderr:
        return "%s failed for another reason than a missing %s:\n%s" % (what, missing, r.stderr)
    return None


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    commands = layer_commands(sys.argv[1])
    # The includes that must fail are compiled one by one (each stops at once); those that must
    # compile, one file per layer, as a full compile is what takes the time.
    cases = []
    for layer in LAYER_TARGETS:
        if layer == "gui" and "gui" not in commands:
            continue  # a build without the windows
        allowed = [i for (l, i, m) in CASES if l == layer and m is None]
        if allowed:
            cases.append((layer, allowed, None))
        cases += [(l, [i], m) for (l, i, m) in CASES if l == layer and m is not None]
    with tempfile.TemporaryDirectory() as work:
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            results = list(pool.map(lambda n: run_case(n, cases[n], commands, work),
                                    range(len(cases))))
    failures = [r for r in results if r]
    store_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "store")
    module_failures = store_module_failures(store_dir)
    print("%-4s %-8s %-9s %s" % ("FAIL" if module_failures else "ok", "store", "modules",
                                 "each module folder includes only those below it"))
    failures += module_failures
    for (layer, includes, missing), r in zip(cases, results):
        expected = "must fail" if missing else "compiles"
        print("%-4s %-8s %-9s %s" % ("FAIL" if r else "ok", layer, expected, " ".join(includes)))
    for r in failures:
        print("\n" + r)
    print("\n%d cases, %d failed" % (len(cases), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
