"""Every script's needs are in tools/packages, in the groups it installs. A script that runs
tools/need-packages.sh is read with what it runs (the scripts and Python modules it names,
every test when it runs ctest, the CMake files when it runs cmake), stopping at a script that
installs for itself; each program they run (programs_run.py reads their commands) that is on
this machine's search path, each absolute path, each Python module imported, and what the
project's CMake find_* calls found in the build (PORTWRANGLER_BUILD) must come from a
package of those groups, or from one they depend on, or from Debian's required set."""

import fnmatch
import functools
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # also when run from the top
import programs_run  # noqa: E402

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
PACKAGES = os.path.join(ROOT, "tools", "packages")
PYTHON = "/usr/bin/python3"
FIND_MODULES = """
import importlib.util, os, sys
for name in sys.argv[1:]:
    found = importlib.util.find_spec(name)
    origin = found and found.origin
    print(origin if origin and os.path.isabs(origin) else "built-in" if found else "")
"""
SEARCH_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# Programs run that no package of tools/packages brings, with the reason.
NOT_RUN = {"portwrangler": "the program under test, from the package the package test made"}
ABSOLUTE = re.compile(r"(?<![\w./$-])/(?:usr|lib|bin|sbin|etc)/[\w./+@-]*[\w+]")
CMAKE_FIND = re.compile(r"find_(program|path|library|package)\(\s*(\w+)\s*([^\s)]*)([^)]*)\)")


def listed():
    """{package: {group, ...}} as tools/packages has them."""
    groups = {}
    with open(PACKAGES) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if words:
                groups[words[0]] = set(words[1:])
    return groups


def installed():
    """({package: {what it depends on}}, {packages always there}) of this machine."""
    out = subprocess.run(["dpkg-query", "-W", "-f",
                          "${Package}\t${Essential}\t${Priority}\t${Depends}, ${Pre-Depends}\n"],
                         stdout=subprocess.PIPE, text=True, check=True).stdout
    depends, always = {}, set()
    for line in out.splitlines():
        name, essential, priority, needs = line.split("\t")
        names = set()
        for alternatives in needs.split(","):
            for one in alternatives.split("|"):
                word = one.strip().split(" ")[0].split(":")[0]
                if word:
                    names.add(word)
        depends[name] = names
        if essential == "yes" or priority == "required":
            always.add(name)
    return depends, always


def closure(depends, roots):
    seen, todo = set(), list(roots)
    while todo:
        name = todo.pop()
        if name not in seen:
            seen.add(name)
            todo.extend(depends.get(name, ()))
    return seen


def file_owners():
    """{path: {package, ...}} from dpkg's lists of installed files."""
    found = {}
    for listing in glob.glob("/var/lib/dpkg/info/*.list"):
        package = os.path.basename(listing)[:-len(".list")].split(":")[0]
        with open(listing, errors="replace") as f:
            for line in f:
                found.setdefault(line.rstrip("\n"), set()).add(package)
    return found


OWNERS = file_owners()


def owner(path):
    """The one package holding `path` (as given, as its link resolves, or across the
    merged /usr), or None: also for a folder that several packages share."""
    real = os.path.realpath(path)
    for candidate in (path, real, re.sub(r"^/usr/", "/", path), re.sub(r"^/usr/", "/", real)):
        owning = OWNERS.get(candidate, set())
        if owning:
            return next(iter(owning)) if len(owning) == 1 else None
    return None


def groups_installed(text):
    """The groups a script installs with need-packages.sh."""
    found = set()
    for line in text.splitlines():
        call = re.search(r"need-packages\.sh\"?((?: [\w-]+)+)", line.split("#", 1)[0])
        if call:
            found.update(call.group(1).split())
    return found


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def without_comments(path, text):
    if path.endswith(".py"):
        return text
    return "\n".join(re.sub(r"(^|\s)#.*", "", line) for line in text.splitlines())


def python_imports(text):
    return {a or b for a, b in re.findall(r"^\s*(?:from\s+(\w+)[\w.]*\s+import\s|import\s+(\w+))",
                                          text, re.M)}


def local_module(name, near):
    for folder in [os.path.dirname(near)] + [os.path.join(ROOT, "tests", where)
                                             for where in ("e2e", "lab", "windows")]:
        candidate = os.path.join(folder, name + ".py")
        if os.path.exists(candidate):
            return candidate
    return None


@functools.lru_cache(maxsize=None)
def checkout_files():
    """The checkout's files, as paths relative to it, read once. No build folder (build/,
    build-windows/, ...) is entered: a build unpacks sources there and Wine makes prefixes
    of many thousand files. Hidden names are left out, as a glob leaves them."""
    found = []
    for folder, folders, files in os.walk(ROOT):
        folders[:] = sorted(f for f in folders if not f.startswith((".", "build")))
        relative = os.path.relpath(folder, ROOT)
        found += [os.path.normpath(os.path.join(relative, f)) for f in sorted(files)
                  if not f.startswith(".")]
    return tuple(found)


def matches(parts, pattern):
    """Whether the path `parts` matches the glob `pattern`'s parts ("**": any folders)."""
    if not pattern:
        return not parts
    if pattern[0] == "**":
        return any(matches(parts[i:], pattern[1:]) for i in range(len(parts) + 1))
    return bool(parts) and fnmatch.fnmatchcase(parts[0], pattern[0]) and \
        matches(parts[1:], pattern[1:])


def repo_files(pattern):
    """The checkout's files that `pattern` (a glob, relative to it) matches."""
    return [os.path.join(ROOT, p) for p in checkout_files()
            if matches(p.split(os.sep), pattern.split("/"))]


def cmake_files():
    """Every CMake file: what the find_* calls are looked for in."""
    return repo_files("CMakeLists.txt") + repo_files("*/**/CMakeLists.txt") + \
        repo_files("cmake/*.cmake")


def program_cmake_files():
    """The program's own build: the top CMakeLists.txt and what it includes."""
    top = os.path.join(ROOT, "CMakeLists.txt")
    return [top] + [os.path.join(ROOT, name)
                    for name in re.findall(r"\bcmake/[\w-]+\.cmake", read(top))]


def test_files():
    """What ctest runs and builds: every test, every CMake file."""
    return [p for p in repo_files("tests/**/*")
            if p.endswith((".py", ".sh", "CMakeLists.txt")) or os.access(p, os.X_OK)] + \
        cmake_files()


@functools.lru_cache(maxsize=None)
def reached(script):
    """The files `script` runs, itself included, and the Python modules they import."""
    files, modules, todo = [], set(), [script]
    while todo:
        path = todo.pop()
        if path in files:
            continue
        text = without_comments(path, read(path))
        if path != script and groups_installed(text):
            continue  # a script that installs its own needs is checked on its own
        files.append(path)
        if is_cmake(path):
            continue  # read for what they find; the scripts they name, ctest runs
        if path.endswith(".py"):
            for name in python_imports(text):
                local = local_module(name, path)
                if local:
                    todo.append(local)
                else:
                    modules.add(name)
        # A -DNAME=VALUE names what the build's tests will run, not what runs now.
        named = re.sub(r"-D\w+=(\"[^\"]*\"|\S+)", "", text)
        for name in re.findall(r"([\w-]+(?:/[\w.-]+)*\.(?:sh|py|cmake)|wine-run)\b", named):
            for candidate in repo_files("**/" + os.path.basename(name)):
                if candidate.endswith(name) and "/build" not in candidate[len(ROOT):]:
                    todo.append(os.path.realpath(candidate))
        if re.search(r"\bctest\b", text):
            todo.extend(test_files())
        if re.search(r"\bcmake\b", text):
            todo.extend(program_cmake_files())
    return tuple(files), frozenset(modules)


def is_cmake(path):
    return os.path.basename(path) == "CMakeLists.txt" or path.endswith(".cmake")


@functools.lru_cache(maxsize=None)
def programs_of(path):
    """The programs `path` runs by name (not by a path), as its kind of file says."""
    text = read(path)
    if path.endswith(".py"):
        found = programs_run.python_programs(text)
    elif is_cmake(path):
        found = programs_run.cmake_programs(without_comments(path, text), cmake_targets())
    else:
        sourced = [os.path.join(os.path.dirname(path), name) for name in
                   re.findall(r"^\s*(?:source|\.)\s+[^\n#]*?([\w.-]+\.sh)\b", text, re.M)]
        found = programs_run.shell_programs(text, tuple(read(p) for p in sourced
                                                    if os.path.exists(p)))
    return frozenset(p for p in found if "/" not in p)


@functools.lru_cache(maxsize=None)
def cmake_targets():
    return set().union(*(programs_run.cmake_targets(without_comments(p, read(p)))
                         for p in cmake_files()))


def needs_of(files, modules, search_path=SEARCH_PATH):
    """{what: path on this machine} for the programs, paths and modules the files use."""
    needs = {}
    for path in files:
        text = without_comments(path, read(path))
        for name in programs_of(path) - set(NOT_RUN):
            program = shutil.which(name, path=search_path)
            if program:
                needs["%s (in %s)" % (name, os.path.relpath(path, ROOT))] = program
        for absolute in set(ABSOLUTE.findall(text)):
            # A folder many packages share says nothing.
            if os.path.isfile(absolute) or os.path.isdir(absolute) and owner(absolute):
                needs["%s (in %s)" % (absolute, os.path.relpath(path, ROOT))] = absolute
    # Where Debian's Python finds each module (the tests run under it).
    for name, origin in module_origins(frozenset(modules)):
        if origin != "built-in":
            needs["Python module %s" % name] = origin or "/nonexistent/" + name
    return needs


@functools.lru_cache(maxsize=None)
def module_origins(modules):
    """(module, where Debian's Python finds it) for each of `modules` (a frozenset)."""
    origins = subprocess.run([PYTHON, "-c", FIND_MODULES] + sorted(modules),
                             stdout=subprocess.PIPE, text=True, check=True).stdout.split("\n")
    return tuple(zip(sorted(modules), origins))


def cmake_found(build):
    """{what: path} for what the project's own find_* calls found in `build`'s cache, with
    the file holding the call."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        cache = dict(re.findall(r"^(\w+):(?:FILEPATH|PATH)=(.+)$", f.read(), re.M))
    found = {}
    for path in cmake_files():
        text = without_comments(path, read(path))
        for kind, name, looked_for, rest in CMAKE_FIND.findall(text):
            if kind == "package":
                keys = [k for k in cache if k.startswith((name + "_", name.upper() + "_"))]
            else:
                keys = [name] if name in cache else []
            for key in keys:
                value = cache[key]
                if kind == "path" and looked_for:
                    value = os.path.join(value, looked_for)
                elif os.path.isdir(value) and owner(value) is None:
                    continue  # a folder many packages share (/usr/include)
                if os.path.exists(value):
                    found["%s (find_%s in %s)" % (key, kind, os.path.relpath(path, ROOT))] = \
                        (value, path, "REQUIRED" in rest)
    return found


def installing_scripts():
    """The scripts that install their needs with need-packages.sh."""
    return [p for p in repo_files("*.sh") + repo_files("tests/**/*.sh") + repo_files("tools/*.sh")
            if groups_installed(without_comments(p, read(p)))
            and not p.endswith("need-packages.sh")]


def plant(folder, *names):
    for name in names:
        with open(os.path.join(folder, name), "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(os.path.join(folder, name), 0o755)


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.groups = listed()
        cls.depends, cls.always = installed()

    def provided(self, groups):
        """Every package installing `groups` brings, and Debian's required set."""
        chosen = [p for p, of in self.groups.items() if of & groups]
        return closure(self.depends, chosen) | closure(self.depends, self.always)

    def unmet(self, needs, groups):
        have = self.provided(groups)
        return sorted("%s: %s" % (what, owner(path) or "no package")
                      for what, path in needs.items() if owner(path) not in have)

    def check_scripts(self, scripts, search_path=SEARCH_PATH):
        """Each of `scripts` installs what it and what it runs use."""
        for script in sorted(scripts):
            name = os.path.relpath(script, ROOT)
            with self.subTest(name, search_path=search_path):
                groups = groups_installed(without_comments(script, read(script)))
                unknown = groups - set().union(*self.groups.values())
                self.assertEqual(unknown, set(), "groups tools/packages does not have")
                files, modules = reached(script)
                self.assertEqual(self.unmet(needs_of(files, modules, search_path), groups), [],
                                 "used by %s (groups %s) but not installed by them"
                                 % (name, " ".join(sorted(groups))))

    def test_every_script_installs_what_it_uses(self):
        self.assertGreaterEqual(len(installing_scripts()), 6, installing_scripts())
        self.check_scripts(installing_scripts())

    def test_a_program_named_as_a_word_is_not_run(self):
        # The control: programs named like words of the scripts (CMake's project(), an awk
        # variable, JSON keys, English) first on the search path change nothing.
        with tempfile.TemporaryDirectory() as folder:
            plant(folder, "project", "column", "GET", "file", "zip", "ssh", "link", "service")
            self.check_scripts(installing_scripts(), folder + ":" + SEARCH_PATH)

    def test_a_command_of_no_package_is_found(self):
        # The control: a program no package holds, run in each kind of file, is found;
        # the same name as data is not.
        with tempfile.TemporaryDirectory() as folder:
            plant(folder, "frobnicate-xyz", "project")
            files = {"run.sh": "X=1 timeout 5 frobnicate-xyz --x\n"
                               "echo 'project' <<END\nproject\nEND\n",
                     "run.py": "import subprocess\nsubprocess.run(['frobnicate-xyz', '--x'])\n",
                     "CMakeLists.txt": "project(p)\nadd_test(NAME t COMMAND frobnicate-xyz)\n"}
            for name, text in files.items():
                with open(os.path.join(folder, name), "w") as f:
                    f.write(text)
                needs = needs_of([os.path.join(folder, name)], set(), folder + ":" + SEARCH_PATH)
                self.assertEqual([w.split(" ")[0] for w in self.unmet(needs, {"build"})],
                                 ["frobnicate-xyz"], name)

    def test_what_cmake_finds_is_listed(self):
        build = os.environ.get("PORTWRANGLER_BUILD")
        if not build:
            self.skipTest("PORTWRANGLER_BUILD names no configured build")
        found = cmake_found(build)
        self.assertTrue(any(k.startswith("NLOHMANN_JSON_INCLUDE_DIR") for k in found), found)
        everything = set().union(*self.groups.values())
        for what, (path, cmake_file, required) in sorted(found.items()):
            # What the program's build requires is in the build group; what the tests'
            # build requires, with the tests'; what is taken when there, anywhere.
            tested = os.path.relpath(cmake_file, ROOT).startswith(("tests", "bench"))
            groups = everything if not required else {"build", "test"} if tested else {"build"}
            with self.subTest(what):
                self.assertEqual(self.unmet({what: path}, groups), [])

    def test_commands_are_read_where_they_run(self):
        shell, python, cmake = programs_run.shell_programs, programs_run.python_programs, \
            lambda text: programs_run.cmake_programs(text, programs_run.cmake_targets(text))
        for read_with, text, expected in [
                (shell, "X=1 env -C / A=b nice -n 5 timeout 3 ip netns exec ns sudo -u u a -x",
                 "env nice timeout ip sudo a"),
                (shell, "if a; then b | c; else ! d; fi && e || f &\n(g)", "a b c d e f g"),
                (shell, "x=$(a) y=`b` c \"$(d)\" 'no' \"no\" >no 2>&1 <no", "a b c d"),
                (shell, "f() { shift; a && \"$@\"; }\nf no b\ng() { echo; }\ng no", "a b"),
                (shell, "cat <<E\nno\n$(a)\nE\ncat <<'Q'\n$(no)\nQ", "cat a cat"),
                (shell, "bash -c 'a; b' && sh -c \"c\" && trap 'd' EXIT", "bash a b sh c d"),
                (shell, "for no in no; do a; done; [[ no ]]; ((no))\ncase $x in\n no) b ;;\nesac",
                 "a b"),
                (shell, "exec time command awk '{ print column }' no", "awk"),
                (shell, "CC=a CXX=b tools/configure.sh", "a b tools/configure.sh"),
                (python, "subprocess.run(['a', 'no']); subprocess.Popen(['ip', 'netns', 'exec',"
                 " n, 'b'])\nsubprocess.run('c | d', shell=True)\nshutil.which('e')\n"
                 "F = ['f']\nsubprocess.call(F + ['no'])\nprint(['no'])", "a ip b c d e f"),
                (cmake, "find_program(X NAMES a b PATHS /no)\nadd_test(NAME no COMMAND t)\n"
                 "add_executable(t t.cc)\nexecute_process(COMMAND c -x)\n"
                 "add_custom_command(OUTPUT no COMMAND ${V} no)\nproject(no)", "a b c")]:
            with self.subTest(text):
                self.assertEqual(sorted(read_with(text)), sorted(expected.split()))

    def test_globs_read_as_glob_reads_them(self):
        # "**" is any number of folders, none included; "*" stays within one name.
        for pattern, path, expected in [
                ("*/**/CMakeLists.txt", "tests/CMakeLists.txt", True),
                ("*/**/CMakeLists.txt", "tests/fuzz/CMakeLists.txt", True),
                ("*/**/CMakeLists.txt", "CMakeLists.txt", False),
                ("**/lab.sh", "tests/lab/lab.sh", True),
                ("**/lab.sh", "lab.sh", True),
                ("**/lab.sh", "tests/lab/lab.sh.orig", False),
                ("tools/*.sh", "tools/need-packages.sh", True),
                ("tools/*.sh", "tools/sub/need-packages.sh", False),
                ("tests/**/*", "tests/e2e/golden/help.txt", True),
                ("tests/**/*", "test.sh", False)]:
            with self.subTest(pattern=pattern, path=path):
                self.assertEqual(matches(path.split("/"), pattern.split("/")), expected)

    def test_no_build_folder_is_read(self):
        files = checkout_files()
        self.assertIn(os.path.join("tests", "lab", "lab.sh"), files)  # the control
        self.assertIn("build-windows.sh", files)
        self.assertEqual([f for f in files if any(part.startswith("build")
                                                  for part in f.split(os.sep)[:-1])], [])

    def test_a_package_left_out_is_found(self):
        # The control: the demo's needs without its own group.
        files, modules = reached(os.path.join(ROOT, "demo.sh"))
        unmet = self.unmet(needs_of(files, modules), {"build"})
        self.assertTrue(any(line.endswith(": miniupnpd-nftables") for line in unmet), unmet)


if __name__ == "__main__":
    sys.exit(unittest.main())
