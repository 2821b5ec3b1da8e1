#!/usr/bin/env python3
"""Checks that product code keeps no process-wide mutable state outside its layer's state object.

Process-wide state lives in one object per layer, reached through one accessor and put back by
one reset, or is passed in. This script reads every product source and reports what would be
state of its own:
  - a variable at namespace scope that is not const or constexpr (thread_local ones included);
  - a static data member that is not const or constexpr;
  - a function-local static or thread_local that is not const or constexpr.
The exceptions are named below, each with why it may stay. The one implementation a seam hands
out (a SystemInstance<Interface>() specialisation) is the seam's, not state, and is let through
wherever it stands. Prints each finding as file:line, and each exception that no longer lets
anything through, and exits 1 when there is one.

Reads the code as text: comments, strings and preprocessor lines are dropped, braces are
followed to tell namespace, class and function scope apart."""
import pathlib
import re
import sys

PRODUCT = ["common", "wire", "platform", "image", "device", "protocol", "bridge", "ui", "app",
           "history", "tools", "sim"]

# file -> {name: why}. Each exception names the one variable it lets through.
ALLOWED = {
    "platform/Seam.h": {"slot": "the seam itself: one interface's override, set by ScopedOverride"},
    "platform/PlatformState.cpp": {
        "state": "the platform layer's state object, and the same per thread (each bridge's "
                 "update runs on its own thread)",
    },
    "device/DeviceRecord.cpp": {"state": "the device layer's state object"},
    "bridge/BridgeState.cpp": {"state": "the bridge layer's state object"},
    "image/ImageBuffer.cpp": {"image": "the loaded image, the image layer's state object"},
    "ui/UiState.cpp": {"state": "the dialog framework's state object"},
}

TOKEN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*|::|->|\d[\w.']*|\S")
NOT_VARIABLES = {"using", "typedef", "namespace", "friend", "static_assert", "template",
                 "extern", "enum", "class", "struct", "union", "concept", "operator"}


def strip(text):
    """Blanks comments, string and character literals and preprocessor lines, keeping lines."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c in " \t":
            out.append(c)
            i += 1
            continue
        if line_start and c == "#":
            # a preprocessor line, with its continuations
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append("\n")
                    i += 2
                    continue
                i += 1
            continue
        line_start = c == "\n"
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                i += 1
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append("\n" * text.count("\n", i, end))
            i = end
            continue
        raw = re.match(r'(?:u8|u|U|L)?R"([^(\s]*)\(', text[i:i + 40])
        if raw and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            end = text.find(")" + raw.group(1) + '"', i)
            end = n if end < 0 else end + len(raw.group(1)) + 2
            out.append('""' + "\n" * text.count("\n", i, end))
            i = end
            continue
        if c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():  # digit separator
                out.append(" ")
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append('""' if c == '"' else "0")
            i = j + 1
            continue
        out.append(c)
        i += 1
    return "".join(out)


def tokens(text):
    for number, line in enumerate(text.split("\n"), 1):
        for match in TOKEN.finditer(line):
            yield number, match.group(0)


def split_declarator(statement):
    """The tokens before the initializer (=, {, [ or parentheses) and the token that ends them."""
    head = []
    angle = 0
    for _, tok in statement:
        if tok == "<":
            angle += 1
        elif tok == ">" and angle:
            angle -= 1
        elif angle == 0 and tok in {"=", "{", "(", "["}:
            return head, tok
        head.append(tok)
    return head, None


def is_const(head):
    if "constexpr" in head:
        return True
    if "*" in head:
        last = len(head) - 1 - head[::-1].index("*")
        return "const" in head[last + 1:]
    return "const" in head


def judge(statement, where):
    """(line, name, what) when the statement defines mutable state at this scope."""
    toks = [tok for _, tok in statement]
    if not toks or toks[0] in NOT_VARIABLES or "operator" in toks:
        return None
    head, after = split_declarator(statement)
    if after == "(" and where != "function":
        return None  # a function (a variable is written with = or braces here)
    if is_const(head):
        return None
    names = [tok for tok in head if re.match(r"[A-Za-z_]\w*$", tok)]
    name = names[-1] if names else "?"
    if where == "function":
        return statement[0][0], name, "function-local static"
    if where == "class":
        if "static" in head or "thread_local" in head:
            return statement[0][0], name, "static data member"
        return None
    return statement[0][0], name, "namespace-scope variable"


def brace_kind(statement):
    """What a `{` at namespace or class scope opens, from the statement before it."""
    toks = [tok for _, tok in statement]
    if not toks:
        return "block"
    if toks[0] == "namespace" or toks[:2] == ["inline", "namespace"] or toks == ["extern", '""']:
        return "namespace"
    if "enum" in toks[:2]:
        return "enum"
    head, after = split_declarator(statement)
    if after == "=" or after is None and not any(t in {"class", "struct", "union"} for t in toks):
        return "initializer"
    if after is None:
        return "class"
    return "block"  # a function body


def findings(text):
    """Yields (line, name, what) for each piece of mutable state in one file."""
    stack = []  # (scope, is a SystemInstance body): namespace, class, enum, block, initializer
    statement = []
    parens = 0
    seam = 0  # how many SystemInstance<...>() bodies enclose this point

    local = None  # the tokens of a static inside a function (or a lambda), from `static` on
    depth = 0
    for number, tok in tokens(strip(text)):
        where = stack[-1][0] if stack else "namespace"
        if local is not None:
            depth += {"{": 1, "}": -1}.get(tok, 0)
            if tok == ";" and depth == 0 or depth < 0:
                found = judge(local, "function")
                if found and not seam:
                    yield found
                local = None
            else:
                local.append((number, tok))
        elif tok in {"static", "thread_local"} and (where in {"block", "initializer"} or parens):
            local, depth = [(number, tok)], 0
        if where == "initializer":
            if tok == "{":
                stack.append(("initializer", False))
            elif tok == "}":
                stack.pop()
            continue
        if tok == "(":
            parens += 1
        elif tok == ")":
            parens -= 1
        if tok == "{":
            if parens > 0 or where == "block" and statement and statement[-1][1] != ")":
                kind = "initializer"  # a default argument, a lambda, a braced value
            elif where == "block":
                kind = "block"
            else:
                kind = brace_kind(statement)
            if kind == "initializer":
                stack.append(("initializer", False))
                statement.append((number, tok))
                continue
            system = kind == "block" and where != "block" and any(
                t == "SystemInstance" for _, t in statement)
            seam += system
            stack.append((kind, system))
            statement = []
            parens = 0
            continue
        if tok == "}":
            kind, system = stack.pop() if stack else ("namespace", False)
            seam -= system
            if kind != "initializer":
                statement = []
            continue
        if tok == ";" and parens == 0:
            if where not in {"enum", "block"}:
                found = judge(statement, "function" if where == "block" else where)
                if found and not seam:
                    yield found
            statement = []
            continue
        if where == "class" and tok == ":" and statement and statement[-1][1] in {
                "public", "private", "protected"}:
            statement = []
            continue
        statement.append((number, tok))


def sources(root):
    """Every product source below root, as (path relative to root, text)."""
    for layer in PRODUCT:
        for path in sorted((root / layer).rglob("*")):
            if path.suffix in {".h", ".cpp"} and path.is_file():
                yield path.relative_to(root).as_posix(), path.read_text(errors="replace")


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    problems = []
    used = set()
    for relative, text in sources(root):
        allowed = ALLOWED.get(relative, {})
        for line, name, what in findings(text):
            if name in allowed:
                used.add((relative, name))
            else:
                problems.append(f"{relative}:{line}: {what} `{name}` outside the layer's state "
                                f"object")
    stale = [(relative, name) for relative, names in ALLOWED.items() for name in names
             if (relative, name) not in used]
    for relative, name in stale:
        problems.append(f"{relative}: the exception for `{name}` lets nothing through any more; "
                        f"take it out of {pathlib.Path(__file__).name}")
    print("\n".join(problems), end="\n" if problems else "")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
