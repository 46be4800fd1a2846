"""The programs a file runs, read from its commands rather than its words: a shell script's
commands in command position (through env, timeout, ip netns exec, bash -c, lab.sh, the
script's own functions that run "$@", ...), a CMake file's find_program names and COMMAND
programs, a Python file's subprocess argument lists and shutil.which names. A word is its
text, "$NAME" for a variable alone, or None where it expands to anything else."""

import ast
import functools
import os
import re

KEYWORDS = {"if", "then", "else", "elif", "fi", "do", "done", "while", "until", "{", "}",
            "!", "esac", "function"}
BUILTINS = {":", ".", "source", "alias", "bg", "break", "builtin", "cd", "command",
            "complete", "continue", "declare", "echo", "eval", "exec", "exit", "export",
            "false", "fg", "getopts", "hash", "jobs", "kill", "let", "local", "mapfile", "popd",
            "printf", "pushd", "pwd", "read", "readarray", "readonly", "return", "set",
            "shift", "shopt", "test", "time", "trap", "true", "type", "typeset", "ulimit",
            "umask", "unset", "wait", "["}
# What runs a command given after its options (those taking a value named) and a number
# of other words: {program: (options with a value, words before the command)}.
WRAPPERS = {"env": ({"-C", "-u", "-S", "--chdir", "--unset"}, 0), "exec": ({"-a"}, 0),
            "command": (set(), 0), "time": ({"-f"}, 0), "nohup": (set(), 0),
            "nice": ({"-n"}, 0), "sudo": ({"-u", "-g"}, 0), "timeout": ({"-s", "-k"}, 1),
            "flock": ({"-w", "-E"}, 1), "unshare": ({"--propagation"}, 0)}
# tests/lab/lab.sh HOST NAME COMMAND... runs COMMAND on one of the lab's hosts.
LAB_HOSTS = {"client", "gateway", "wan", "device"}
# The lab's Python helpers: on(HOST, COMMAND...), lab(HOST, NAME, COMMAND...).
LAB_HELPERS = {"on": 1, "lab": 2}
ASSIGNMENT = re.compile(r"[A-Za-z_]\w*(\[[^]]*\])?\+?=")
OPERATORS = ("&&", "||", ";;&", ";;", ";&", "|&", "<(", ">(", "|", "&", ";", "(", ")", "\n")
REDIRECTION = re.compile(r"(\d*|&|\{\w+\})(<<<|>>|>&|<&|<>|>\||<|>)(?!\()[ \t]*")
CASE_ENDS = {";;", ";&", ";;&"}
SUBPROCESS = {"subprocess." + f for f in ("run", "Popen", "check_call", "check_output", "call")}


def run_programs(words, functions=None, variables=None):
    """The programs one simple command runs, wrappers first; "$@" where it runs its
    caller's words, "$-c" where it hands one of them to bash -c. `functions`: {name:
    the words it takes before a command it runs, "shell", or None}."""
    functions, variables = functions or {}, variables or {}
    words = [variables.get(w, w if w[1:] == "@" or w[1:].isdigit() else None)
             if w and w[0] == "$" else w for w in words]
    i, compilers = 0, []
    while i < len(words) and words[i] and ASSIGNMENT.match(words[i]):
        compilers += re.findall(r"^(?:CC|CXX)=([^$]+)$", words[i])  # what the build runs
        i += 1
    name, rest = (words[i], words[i + 1:]) if i < len(words) else (None, [])
    again = functools.partial(run_programs, functions=functions)
    return compilers + command_programs(name, rest, functions, again)


def command_programs(name, rest, functions, again):
    """The programs run by the command `name` with the words `rest`."""
    if name is None or name[0] == "$" and name != "$@":  # lab.sh's shape tells the rest
        return again(rest[2:]) if rest and rest[0] in LAB_HOSTS else []
    base = os.path.basename(name)
    if name == "$@" or name in functions:
        skip = functions.get(name)
        if skip == "shell":  # it runs its words with bash -c
            return [p for w in rest if w and w[0] != "-" for p in shell_programs(w)]
        return ["$@"] if name == "$@" else [] if skip is None else again(rest[skip:])
    if base == "lab.sh":
        return again(rest[2:]) if rest and rest[0] in LAB_HOSTS else []
    if name in ("trap", "eval") and rest and rest[0] not in (None, "-"):  # shell, run here
        return shell_programs(rest[0])
    found = [] if name in BUILTINS else [name]
    if base == "ip" and rest[:2] == ["netns", "exec"]:
        return found + again(rest[3:])
    if base in ("bash", "sh") and "-c" in rest[:-1]:
        body = rest[rest.index("-c") + 1]
        if body and body[0] == "$":
            return found + ["$-c"]
        return found + (shell_programs(body) if body else [])
    if base in WRAPPERS:
        return found + again(past_options(rest, *WRAPPERS[base]))
    return found


def past_options(words, with_value, positional):
    """`words` past a wrapper's options, its VAR=value words and `positional` more."""
    i = 0
    while i < len(words) and words[i] and (words[i][0] == "-" or ASSIGNMENT.match(words[i])):
        i += 2 if words[i] in with_value else 1
        if words[i - 1] == "--":
            break
    return words[i + positional:]


class Shell:
    """A shell script read into simple commands, each ([words], the function holding it),
    those in $(...), `...`, <(...), (...) and unquoted heredocs' substitutions included.
    Quoted text and heredocs are data; "function NAME" stands for a definition."""

    def __init__(self, text, at=0):
        self.text, self.at, self.commands, self.heredocs = text, at, [], []
        self.scopes = []  # [function, depth of its braces]

    def read(self, nested=False):
        self.split(self.tokens(nested))
        return self

    def tokens(self, nested):
        tokens, text = [], self.text
        while self.at < len(text):
            c = text[self.at]
            if c in " \t" or text.startswith("\\\n", self.at):
                self.at += 1 if c in " \t" else 2
            elif c == "#":
                self.at = text.find("\n", self.at) % (len(text) + 1)
            elif c == ")" and nested:
                break
            elif re.match(r"\(\s*\)", text[self.at:]):
                self.at = text.index(")", self.at) + 1
                tokens.append(("op", "()"))
            elif text.startswith(("<<-", "<<"), self.at) and text[self.at + 2] != "<":
                heredoc = re.compile(r"<<-?\s*(['\"]?)(\w+)\1").match(text, self.at)
                self.heredocs.append((heredoc.group(2), heredoc.group(1) != ""))
                self.at = heredoc.end()
            elif text.startswith("((", self.at):  # arithmetic
                self.past_closing("(")
                tokens.append(("word", None))
            elif REDIRECTION.match(text, self.at):
                self.at = REDIRECTION.match(text, self.at).end()
                self.word()  # where to: data
            else:
                op = next((o for o in OPERATORS if text.startswith(o, self.at)), None)
                self.at += len(op or "")
                if op in ("<(", ">(", "("):
                    self.inner()
                    op = ";"
                tokens.append(("op", op) if op else ("word", self.word()))
                if op == "\n":
                    self.read_heredocs()
        return tokens

    def inner(self):
        """Reads commands up to the ")" that ends them, and steps over it."""
        inner = Shell(self.text, self.at).read(nested=True)
        self.commands += inner.commands
        self.at = inner.at + 1

    def word(self):
        start, text, literal = self.at, "", True
        while self.at < len(self.text):
            c = self.text[self.at]
            if c in " \t\n;&|<>)" or c == "(" and not ASSIGNMENT.fullmatch(text):
                break
            if c == "'":
                end = self.text.index("'", self.at + 1)
                text, self.at = text + self.text[self.at + 1:end], end + 1
            elif c == '"':
                self.at += 1
                part, plain = self.quoted('"')
                text, literal = text + part, literal and plain
            elif c in "$`(":
                literal = self.expansion() and literal
            else:
                text += self.text[self.at + 1:self.at + 2] if c == "\\" else c
                self.at += 2 if c == "\\" else 1
        raw = self.text[start:self.at]
        variable = re.fullmatch(r'"?\$(?:\{(\w+)\}|(\w+|@))"?', raw)
        if variable:
            return "$" + "".join(variable.groups(""))
        assignment = ASSIGNMENT.match(raw)
        return text if literal else assignment.group(0) + "$" if assignment else None

    def quoted(self, end):
        """Reads to `end` (None: the end of the text), substitutions as commands; returns
        (the text, whether nothing in it expands)."""
        text, literal = "", True
        while self.at < len(self.text) and self.text[self.at] != end:
            c = self.text[self.at]
            if c in "$`" and self.text[self.at + 1:self.at + 2] not in ('"', ""):
                literal = self.expansion() and literal
            else:
                text += self.text[self.at:self.at + (2 if c == "\\" else 1)]
                self.at += 2 if c == "\\" else 1
        self.at += 1
        return text, literal

    def expansion(self):
        """Steps over $x, ${...}, $((...)) and an array's (...); reads $(...) and `...` as
        commands. Returns False: what expands is unknown here."""
        text = self.text
        if text.startswith(("$((", "${", "("), self.at):
            self.past_closing(text[self.at + 1] if text[self.at] == "$" else "(")
        elif text.startswith("$(", self.at):
            self.at += 2
            self.inner()
        elif text[self.at] == "`":
            end = text.index("`", self.at + 1)
            self.commands += Shell(text[self.at + 1:end]).read().commands
            self.at = end + 1
        else:
            self.at += len(re.match(r"\$([@*#?$!-]|\w*)", text[self.at:]).group(0))
        return False

    def past_closing(self, opening):
        """Steps past the bracket that closes the first `opening` one."""
        closing, depth = {"(": ")", "{": "}"}[opening], 0
        while self.at < len(self.text):
            depth += {opening: 1, closing: -1}.get(self.text[self.at], 0)
            self.at += 1
            if depth == 0 and self.text[self.at - 1] == closing:
                break

    def read_heredocs(self):
        for delimiter, quoted in self.heredocs:
            end = re.compile(r"^\t*%s$" % delimiter, re.M).search(self.text, self.at)
            body = self.text[self.at:end.start() if end else len(self.text)]
            if not quoted:
                inside = Shell(body)
                inside.quoted(None)
                self.commands += inside.commands
            self.at = end.end() if end else len(self.text)
        self.heredocs = []

    def split(self, tokens):
        """Splits `tokens` into simple commands, leaving out case patterns."""
        words, pattern = [], False
        for kind, value in tokens:
            if kind == "word":
                if pattern:
                    pattern = value != "esac"
                else:
                    words.append(value)
            elif value == ")":  # a case pattern's end
                words, pattern = [], False
            elif value == "()" and len(words) == 1:
                self.commands.append((["function", words[0]], self.function()))
                self.scopes.append([words[0], 0])
                words = []
            else:
                self.add(words)
                words, pattern = [], pattern or value in CASE_ENDS or \
                    words[:1] == ["case"]
        self.add(words)

    def function(self):
        return self.scopes[-1][0] if self.scopes else None

    def add(self, words):
        """Notes a simple command without its keywords; a for list, a [[ ]] test and a case
        line say nothing."""
        while words and words[0] in KEYWORDS:
            if words[0] in "{}" and self.scopes:
                self.scopes[-1][1] += 1 if words[0] == "{" else -1
                if self.scopes[-1][1] == 0:
                    self.scopes.pop()
            words = words[1:]
        if words and words[0] not in ("for", "select", "case", "[["):
            self.commands.append((words, self.function()))


@functools.lru_cache(maxsize=None)
def shell_programs(text, sourced=()):
    """The programs a shell script runs, its own functions and those of the `sourced`
    scripts' texts left out (those that run a command, read through)."""
    commands = [c for t in sourced for c in Shell(t).read().commands]
    own = len(commands)
    commands += Shell(text).read().commands
    variables = {"$" + w[0].split("=", 1)[0]: w[0].split("=", 1)[1] for w, _ in commands
                 if len(w) == 1 and w[0] and ASSIGNMENT.match(w[0]) and "$" not in w[0]}
    names = {w[1] for w, _ in commands if w[0] == "function"}
    functions = dict.fromkeys(names)
    for _ in range(3):  # a function that runs "$@" through another
        for name in names:
            body = [w for w, f in commands if f == name and w[0] != "function"]
            runs = [p for w in body for p in run_programs(w, functions, variables)]
            if "$-c" in runs:
                functions[name] = "shell"
            elif "$@" in runs:
                functions[name] = sum(int(w[1]) if w[1:2] and w[1] else 1
                                      for w in body if w[0] == "shift")
    return [p for w, _ in commands[own:] if w[0] != "function"
            for p in run_programs(w, functions, variables) if p[0] != "$" and p not in functions]


def cmake_programs(text, targets):
    """find_program's names, a toolchain's compilers, and each COMMAND's program where it
    is a plain name and not one of the build's `targets`."""
    found = []
    for call in re.findall(r"\bfind_program\(\s*\w+\s+([^)]*)\)", text):
        words = call.split()
        names = words[1:] if words[0] == "NAMES" else words[:1]
        keywords = [i for i, w in enumerate(names) if w.isupper()] + [len(names)]
        found += [n for n in names[:keywords[0]] if "$" not in n]
    found += re.findall(r"\bset\(\s*CMAKE_\w+_COMPILER\s+([\w.+-]+)\s*\)", text)
    return found + [name for name in re.findall(r"\bCOMMAND\s+([\w.+-]+)(?=[\s)])", text)
                    if name not in targets]


def cmake_targets(text):
    return set(re.findall(r"\badd_(?:executable|library|custom_target)\(\s*([\w.+-]+)", text))


def python_programs(text):
    """The programs of a Python file's subprocess calls (a literal list's first word, past
    wrappers, or a shell=True string read as shell), os.exec* and shutil.which names, and
    the commands handed to lab.sh's hosts through a helper (on("client", "nft", ...))."""
    nodes = list(ast.walk(ast.parse(text)))
    named = {}  # what each name is assigned, and each local function returns
    for node in nodes:
        if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
            named.setdefault(node.targets[0].id, []).append(node.value)
        elif isinstance(node, ast.FunctionDef):
            named.setdefault(node.name + "()", []).extend(
                r.value for r in ast.walk(node) if isinstance(r, ast.Return) and r.value)
    found = []
    for node in nodes:
        if not isinstance(node, ast.Call):
            continue
        called, args = dotted(node.func), node.args
        shell = any(k.arg == "shell" and getattr(k.value, "value", 0) for k in node.keywords)
        if called in SUBPROCESS and args and shell and constant(args[0]):
            found += shell_programs(args[0].value)
        elif called in SUBPROCESS and args or called.startswith("os.exec") and len(args) > 1:
            for argv in argument_lists(args[0 if called in SUBPROCESS else 1], named):
                found += run_programs(argv)
        elif args[1:] and dotted(args[0]) in SUBPROCESS:  # addCleanup(subprocess.run, [...])
            found += [p for argv in argument_lists(args[1], named) for p in run_programs(argv)]
        elif called == "shutil.which" and args and constant(args[0]):
            found.append(args[0].value)
        elif called.split(".")[-1] in LAB_HELPERS and args and \
                constant(args[0]) in LAB_HOSTS | {None}:
            skip = LAB_HELPERS[called.split(".")[-1]]
            found += run_programs([constant(a) for a in args[skip:]])
    for prefix in (k.value for n in nodes if isinstance(n, ast.Call)
                   for k in n.keywords if k.arg == "prefix"):  # harness.run(prefix=...)
        found += [p for argv in argument_lists(prefix, named) for p in run_programs(argv)]
    return found


def constant(node):
    return node.value if isinstance(node, ast.Constant) and isinstance(node.value, str) \
        else None


def dotted(node):
    if isinstance(node, ast.Attribute):
        return dotted(node.value) + "." + node.attr
    return node.id if isinstance(node, ast.Name) else ""


def argument_lists(node, named, depth=0):
    """The argument lists `node` may stand for: a list, a sum of them, a name assigned one,
    a local function's result; each word a str or None."""
    if isinstance(node, (ast.List, ast.Tuple)):
        return [[constant(e) for e in node.elts]]
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
        return [left + right for left in argument_lists(node.left, named, depth)
                for right in argument_lists(node.right, named, depth)]
    key = node.id if isinstance(node, ast.Name) else \
        node.func.id + "()" if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) \
        else None
    if key in named and depth < 3:
        return [a for value in named[key] for a in argument_lists(value, named, depth + 1)]
    return [[None]]
