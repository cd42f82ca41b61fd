#!/usr/bin/env python3
"""Mutation testing for the plug-in's code: what does the suite catch?

In a private copy of the checkout (never in the working tree it is started from) the script
applies one small fault at a time to plugin/, rpc/, model/ and items/, rebuilds what the
fault touches, runs the suites that can reach it and records whether a test failed:

    killed        a test failed or timed out: the suite catches this fault
    survived      every test passed: a hole in the suite, or a change nobody can observe
    build_failed  the mutant does not compile; not a valid mutant, not counted

Operators (--ops):
    cmp     a comparison negated: == !=, < >=, > <=
    cond    an if-condition negated: if (c) -> if (!(c))
    logic   && <-> ||
    bool    return true <-> return false
    int     an integer constant +1 or -1
    text    one letter changed in a string literal the product shows or logs
            (tr(), log lines, sentences)
    name    one letter changed in another string literal (method names, keys, properties);
            not in the default set
    emit    an emit statement removed
    call    a call statement removed

Mutation points skip comments, preprocessor lines and declarations. The sample is uniform
over points: every point is ranked by a hash of the seed and its content (file, line text,
operator, occurrence), so a seed gives the same mutants again, and an edit elsewhere in a
file does not reshuffle the others. --replay takes the mutants of an earlier result file,
finds them again by content and names those it cannot find.

    tools/mutate.py --seed 1 --count 40 --out /path/seed1.jsonl
    tools/mutate.py --replay /path/seed1.jsonl --out /path/seed1-again.jsonl
    tools/mutate.py --compare /path/seed1.jsonl /path/seed1-again.jsonl
    tools/mutate.py --killers /path/seed1.jsonl /path/seed2.jsonl   # which tests carry the kills
    tools/mutate.py --list            # candidate points per file and operator
    tools/mutate.py --dry-run --count 20

Standard library only.
"""

import argparse
import datetime
import fcntl
import fnmatch
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time

SCOPE_DIRS = ("plugin", "rpc", "model", "items")
SOURCE_SUFFIXES = (".cpp", ".h")
ALL_OPS = ("cmp", "cond", "logic", "bool", "int", "text", "name", "emit", "call")
DEFAULT_OPS = ("cmp", "cond", "logic", "bool", "int", "text", "emit", "call")

# ---------------------------------------------------------------------------------------
# A small C++ lexer: enough to tell code from comments, strings and preprocessor lines.
# ---------------------------------------------------------------------------------------

PUNCTUATORS = sorted(
    """<<= >>= <=> ... -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= :: ->*
    ## { } [ ] ( ) ; : , . ? ~ ! + - * / % ^ & | = < > #""".split(),
    key=len, reverse=True)
KEYWORDS_NOT_CALLS = {
    "return", "if", "else", "for", "while", "do", "switch", "case", "default", "break",
    "continue", "goto", "new", "delete", "throw", "sizeof", "alignof", "decltype", "typeid",
    "static_cast", "dynamic_cast", "const_cast", "reinterpret_cast", "qobject_cast",
    "emit", "Q_EMIT", "co_return", "co_await", "static_assert", "using", "typedef",
    "template", "typename", "operator", "namespace", "class", "struct", "enum", "union",
    "public", "private", "protected", "signals", "slots", "explicit", "friend", "virtual",
    "const", "constexpr", "static", "inline", "auto", "volatile", "mutable", "extern",
}
LOG_CALLS = {"info", "warning", "error", "critical", "debug", "fatal", "qDebug", "qInfo",
             "qWarning", "qCritical", "qFatal"}

IDENT_RE = re.compile(r"[A-Za-z_][A-Za-z_0-9]*")
PPNUM_RE = re.compile(r"\.?[0-9](?:[eEpP][+-]|'[0-9A-Za-z_]|[0-9A-Za-z_.])*")
DEC_RE = re.compile(r"^(0|[1-9][0-9]*)([uUlL]*)$")
HEX_RE = re.compile(r"^0[xX]([0-9a-fA-F]+)([uUlL]*)$")
STRING_PREFIX_RE = re.compile(r'(?:u8|u|U|L)?R?"')


class Token:
    __slots__ = ("kind", "text", "start", "end", "line")

    def __init__(self, kind, text, start, end, line):
        self.kind, self.text, self.start, self.end, self.line = kind, text, start, end, line

    def __repr__(self):
        return "Token(%s,%r,%d)" % (self.kind, self.text, self.line)


def tokenize(src):
    """Tokens of code outside comments and preprocessor lines; kind is one of
    ident, number, string, char, punct."""
    tokens = []
    i, n, line = 0, len(src), 1
    at_line_start = True
    while i < n:
        c = src[i]
        if c == "\n":
            line += 1
            i += 1
            at_line_start = True
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if c == "#" and at_line_start:
            # A preprocessor line, with its continuations.
            while i < n and src[i] != "\n":
                if src[i] == "\\" and i + 1 < n and src[i + 1] == "\n":
                    line += 1
                    i += 2
                    continue
                if src.startswith("/*", i):
                    j = src.find("*/", i + 2)
                    j = n if j < 0 else j + 2
                    line += src.count("\n", i, j)
                    i = j
                    continue
                i += 1
            continue
        at_line_start = False
        if src.startswith("//", i):
            j = src.find("\n", i)
            i = n if j < 0 else j
            continue
        if src.startswith("/*", i):
            j = src.find("*/", i + 2)
            j = n if j < 0 else j + 2
            line += src.count("\n", i, j)
            i = j
            continue
        m = STRING_PREFIX_RE.match(src, i)
        if m and (i == 0 or not (src[i - 1].isalnum() or src[i - 1] == "_")):
            start = i
            if m.group(0).endswith('R"'):
                j = m.end()
                k = src.find("(", j)
                delim = src[j:k]
                end = src.find(")" + delim + '"', k)
                end = n if end < 0 else end + len(delim) + 2
            else:
                end = m.end()
                while end < n and src[end] != '"':
                    if src[end] == "\\":
                        end += 1
                    elif src[end] == "\n":
                        break
                    end += 1
                end += 1
            tokens.append(Token("string", src[start:end], start, end, line))
            line += src.count("\n", start, end)
            i = end
            continue
        if c == "'" or (c in "uUL" and i + 1 < n and src[i + 1] == "'"):
            start = i
            end = src.index("'", i) + 1
            while end < n and src[end] != "'":
                if src[end] == "\\":
                    end += 1
                end += 1
            end += 1
            tokens.append(Token("char", src[start:end], start, end, line))
            i = end
            continue
        m = PPNUM_RE.match(src, i)
        if m:
            tokens.append(Token("number", m.group(0), i, m.end(), line))
            i = m.end()
            continue
        m = IDENT_RE.match(src, i)
        if m:
            tokens.append(Token("ident", m.group(0), i, m.end(), line))
            i = m.end()
            continue
        for p in PUNCTUATORS:
            if src.startswith(p, i):
                tokens.append(Token("punct", p, i, i + len(p), line))
                i += len(p)
                break
        else:
            tokens.append(Token("punct", c, i, i + 1, line))
            i += 1
    return tokens


def match_brackets(tokens):
    """Index of the partner of every bracket token; -1 when unbalanced."""
    partner = [-1] * len(tokens)
    stack = []
    pairs = {")": "(", "]": "[", "}": "{"}
    for k, t in enumerate(tokens):
        if t.kind != "punct":
            continue
        if t.text in "([{":
            stack.append(k)
        elif t.text in pairs:
            # Unwind to the matching opener; stray closers are ignored.
            for depth in range(len(stack) - 1, -1, -1):
                if tokens[stack[depth]].text == pairs[t.text]:
                    opener = stack[depth]
                    del stack[depth:]
                    partner[opener], partner[k] = k, opener
                    break
    return partner


ACCESS_WORDS = {"public", "private", "protected", "signals", "slots", "Q_SIGNALS", "Q_SLOTS"}
CLASS_WORDS = {"class", "struct", "union", "enum"}
CODE_BEFORE_BRACE = {")", "const", "override", "final", "noexcept", "mutable", "}"}


def classify_scopes(tokens, partner):
    """For every token: 'code' inside a function body, 'init' inside an initializer or a
    default argument at namespace or class scope, None elsewhere (declarations)."""
    ctx = [None] * len(tokens)

    def scope(kind, start):
        return {"kind": kind, "start": start, "eq": False, "eq_any": False, "depth": 0}

    def reset(s, start):
        s["start"], s["eq"], s["eq_any"] = start, False, False

    stack = [scope("ns", 0)]
    for k, t in enumerate(tokens):
        top = stack[-1]
        if top["kind"] == "code":
            ctx[k] = "code"
        elif top["kind"] == "init" or top["eq_any"]:
            ctx[k] = "init"
        x = t.text
        if top["kind"] == "code":
            if t.kind == "punct" and x == "{":
                stack.append(scope("code", k + 1))
            elif t.kind == "punct" and x == "}" and len(stack) > 1:
                stack.pop()
                if stack[-1]["kind"] != "code":
                    reset(stack[-1], k + 1)
            continue
        if t.kind == "ident":
            # Qt's declaration macros end without a semicolon.
            if k == top["start"] and re.match(r"^Q_[A-Z0-9_]+$", x):
                nxt = k + 1
                if nxt < len(tokens) and tokens[nxt].text == "(" and partner[nxt] > 0:
                    top["start"] = partner[nxt] + 1
                else:
                    top["start"] = k + 1
            continue
        if t.kind != "punct":
            continue
        if x in ("(", "["):
            top["depth"] += 1
        elif x in (")", "]"):
            top["depth"] = max(0, top["depth"] - 1)
        elif x == "=":
            top["eq_any"] = True
            if top["depth"] == 0:
                top["eq"] = True
        elif x == ";" and top["depth"] == 0:
            reset(top, k + 1)
        elif x == ":" and k > 0 and tokens[k - 1].text in ACCESS_WORDS:
            reset(top, k + 1)
        elif x == "{":
            head = [h.text for h in tokens[top["start"]:k]]
            prev = tokens[k - 1].text if k else ""
            if top["kind"] == "init":
                kind = "init"
            elif "namespace" in head or head[:1] == ["extern"]:
                kind = "ns"
            elif CLASS_WORDS.intersection(head) and "(" not in head:
                kind = "class"
            elif top["eq"]:
                kind = "init"
            elif prev in CODE_BEFORE_BRACE or ("(" in head and "->" in head):
                kind = "code"
            else:
                kind = "init"  # Type name{...} or a member's brace initializer
            stack.append(scope(kind, k + 1))
        elif x == "}" and len(stack) > 1:
            closed = stack.pop()
            if closed["kind"] != "init":
                reset(stack[-1], k + 1)
    return ctx


# ---------------------------------------------------------------------------------------
# Mutation points
# ---------------------------------------------------------------------------------------

CMP_FLIP = {"==": "!=", "!=": "==", "<": ">=", ">=": "<", ">": "<=", "<=": ">"}


class Point:
    """One place where an operator applies, with its variants (lists of edits)."""
    __slots__ = ("file", "op", "line", "occ", "dup", "text", "context", "variants", "span")

    def __init__(self, file, op, line, variants, span):
        self.file, self.op, self.line = file, op, line
        self.variants = variants  # list of [(start, end, replacement), ...]
        self.span = span          # (start, end) offsets of the affected source
        self.occ = self.dup = 0
        self.text = ""
        self.context = ["", ""]

    def key(self):
        return "%s|%d|%s|%s|%d" % (self.file, self.dup, self.text, self.op, self.occ)


def spaced(src, t):
    return (t.start > 0 and src[t.start - 1] in " \t\n") and (t.end < len(src) and src[t.end] in " \t\n")


def statement_starts_here(tokens, partner, k):
    """True when token k begins a statement in a block."""
    if k == 0:
        return False
    p = tokens[k - 1]
    if p.kind == "ident" and p.text == "else":
        return True
    if p.kind != "punct":
        return False
    if p.text in (";", "{", "}"):
        return True
    if p.text == ")":
        o = partner[k - 1]
        return o > 0 and tokens[o - 1].kind == "ident" and tokens[o - 1].text in ("if", "while", "for")
    if p.text == ":":
        q = k - 2
        if q >= 0 and tokens[q].text == "default":
            return True
        while q >= 0 and tokens[q].text not in (";", "{", "}", "case"):
            q -= 1
        return q >= 0 and tokens[q].text == "case"
    return False


def call_statement_end(tokens, partner, k):
    """If tokens[k:] is a call statement (a.b(x)->c(y); f(x); A::f(x);), the index of its
    ';', else -1."""
    t = tokens[k]
    if t.kind != "ident" or t.text in KEYWORDS_NOT_CALLS:
        return -1
    if t.text.isupper() or re.match(r"^Q_[A-Z_]+$", t.text):
        return -1  # macros: Q_UNUSED, Q_ASSERT, ...
    j = k + 1
    last_was_call = False
    while j < len(tokens):
        x = tokens[j]
        if x.kind == "punct" and x.text in ("::", ".", "->"):
            if j + 1 < len(tokens) and tokens[j + 1].kind == "ident":
                j += 2
                last_was_call = False
                continue
            return -1
        if x.kind == "punct" and x.text in ("(", "["):
            if partner[j] < 0:
                return -1
            last_was_call = x.text == "("
            j = partner[j] + 1
            continue
        if x.kind == "punct" and x.text == ";":
            return j if last_was_call else -1
        return -1
    return -1


def literal_letters(lit):
    """Offsets inside a string literal token of the letters that may be changed: not the
    prefix or quotes, not escape sequences, not %1 or %s placeholders."""
    q = lit.index('"')
    if lit[q - 1:q] == "R":
        return []
    out = []
    i = q + 1
    while i < len(lit) - 1:
        c = lit[i]
        if c == "\\":
            i += 2
            continue
        if c == "%":
            i += 1
            while i < len(lit) - 1 and (lit[i].isdigit() or lit[i] in "Ln"):
                i += 1
            if i < len(lit) - 1 and lit[i] in "sdifgxXcpu" and not lit[i - 1].isdigit():
                i += 1
            continue
        if c.isascii() and c.isalpha():
            out.append(i)
        i += 1
    return out


def rotate_letter(c):
    base = ord("a") if c.islower() else ord("A")
    return chr(base + (ord(c) - base + 1) % 26)


def enclosing_call(tokens, k):
    """(name, argument index) of the call whose argument list holds token k directly, or
    ('', 0)."""
    depth = 0
    commas = 0
    for j in range(k - 1, -1, -1):
        t = tokens[j]
        if t.kind != "punct":
            continue
        if t.text in (")", "]", "}"):
            depth += 1
        elif t.text in ("(", "[", "{"):
            if depth == 0:
                if t.text == "(" and j > 0 and tokens[j - 1].kind == "ident":
                    return tokens[j - 1].text, commas
                return "", 0
            depth -= 1
        elif t.text == "," and depth == 0:
            commas += 1
        elif t.text == ";" and depth == 0:
            return "", 0
    return "", 0


# Where a translation call takes the text; its other arguments (the context, a
# disambiguation) pick a translation and are never shown.
TEXT_ARGUMENT = {"tr": 0, "QT_TR_NOOP": 0, "qtTrId": 0, "translate": 1, "QT_TRANSLATE_NOOP": 1}


def string_is_product_text(tokens, k):
    call, arg = enclosing_call(tokens, k)
    if call in ("QStringLiteral", "QLatin1String", "QString", "QByteArrayLiteral") and k >= 2:
        # Wrapped: the call around the wrapper decides.
        call, arg = enclosing_call(tokens, k - 2)
    if call in TEXT_ARGUMENT:
        return arg == TEXT_ARGUMENT[call]
    if call in LOG_CALLS:
        return True
    body = tokens[k].text
    body = body[body.index('"') + 1:-1]
    return bool(re.search(r"\s", body)) and bool(re.search(r"[A-Za-z]{2}", body))


def find_points(relpath, src, ops):
    tokens = tokenize(src)
    partner = match_brackets(tokens)
    ctx = classify_scopes(tokens, partner)
    points = []

    def add(op, k, variants, span):
        points.append(Point(relpath, op, tokens[k].line, variants, span))

    for k, t in enumerate(tokens):
        c = ctx[k]
        if c is None:
            continue
        if t.kind == "punct":
            if "cmp" in ops and t.text in CMP_FLIP:
                if t.text in ("<", ">") and not spaced(src, t):
                    continue  # template brackets are not spaced
                if k > 0 and tokens[k - 1].text == "operator":
                    continue
                add("cmp", k, [[(t.start, t.end, CMP_FLIP[t.text])]], (t.start, t.end))
            elif "logic" in ops and t.text in ("&&", "||"):
                if t.text == "&&" and not spaced(src, t):
                    continue  # T &&x is a reference
                other = "||" if t.text == "&&" else "&&"
                add("logic", k, [[(t.start, t.end, other)]], (t.start, t.end))
            continue
        if t.kind == "number" and "int" in ops:
            m = DEC_RE.match(t.text)
            h = HEX_RE.match(t.text)
            if not (m or h):
                continue
            if k > 0 and tokens[k - 1].text in ("[",) and c != "code":
                continue  # an array bound in a declaration
            if m:
                value, suffix = int(m.group(1)), m.group(2)
                fmt = lambda v: "%d%s" % (v, suffix)
            else:
                value, suffix = int(h.group(1), 16), h.group(2)
                width = len(h.group(1))
                fmt = lambda v, w=width: "0x%0*x%s" % (w, v, suffix)
            variants = [[(t.start, t.end, fmt(value + 1))]]
            if value > 0:
                variants.append([(t.start, t.end, fmt(value - 1))])
            add("int", k, variants, (t.start, t.end))
            continue
        if t.kind == "string" and ("text" in ops or "name" in ops):
            op = "text" if string_is_product_text(tokens, k) else "name"
            if op not in ops:
                continue
            letters = literal_letters(t.text)
            if not letters:
                continue
            variants = [[(t.start + i, t.start + i + 1, rotate_letter(t.text[i]))] for i in letters]
            add(op, k, variants, (t.start, t.end))
            continue
        if t.kind != "ident" or c != "code":
            continue
        if t.text in ("true", "false") and "bool" in ops:
            if k > 0 and tokens[k - 1].text == "return" and k + 1 < len(tokens) and tokens[k + 1].text == ";":
                other = "false" if t.text == "true" else "true"
                add("bool", k, [[(t.start, t.end, other)]], (t.start, t.end))
            continue
        if t.text == "if" and "cond" in ops:
            j = k + 1
            if j < len(tokens) and tokens[j].text == "constexpr":
                continue
            if j >= len(tokens) or tokens[j].text != "(" or partner[j] < 0:
                continue
            inner = tokens[j + 1:partner[j]]
            depth = 0
            declares = False
            for x in inner:
                if x.text in ("(", "[", "{"):
                    depth += 1
                elif x.text in (")", "]", "}"):
                    depth -= 1
                elif depth == 0 and x.text in ("=", ";"):
                    declares = True  # if (auto *x = ...) or if (init; cond)
            if declares or not inner:
                continue
            open_t, close_t = tokens[j], tokens[partner[j]]
            add("cond", k, [[(open_t.end, open_t.end, "!("), (close_t.start, close_t.start, ")")]],
                (t.start, close_t.end))
            continue
        if t.text in ("emit", "Q_EMIT") and "emit" in ops:
            if not statement_starts_here(tokens, partner, k):
                continue
            end = call_statement_end(tokens, partner, k + 1) if k + 1 < len(tokens) else -1
            if end < 0:
                continue
            add("emit", k, [[(t.start, tokens[end].end, "{}")]], (t.start, tokens[end].end))
            continue
        if "call" in ops and statement_starts_here(tokens, partner, k):
            end = call_statement_end(tokens, partner, k)
            if end < 0:
                continue
            add("call", k, [[(t.start, tokens[end].end, "{}")]], (t.start, tokens[end].end))

    # Name points by content: the line's text, which of the line's points of this operator,
    # which of the file's lines with that text.
    lines = src.split("\n")
    stripped = [ln.strip() for ln in lines]
    per_line = {}
    for p in points:
        p.text = stripped[p.line - 1]
        p.context = [neighbour(stripped, p.line - 1, -1), neighbour(stripped, p.line - 1, +1)]
        per_line.setdefault((p.line, p.op), []).append(p)
    for group in per_line.values():
        for i, p in enumerate(sorted(group, key=lambda q: q.span[0])):
            p.occ = i
    seen = {}
    line_dup = {}
    for ln, s in enumerate(stripped, start=1):
        line_dup[ln] = seen.get(s, 0)
        seen[s] = line_dup[ln] + 1
    for p in points:
        p.dup = line_dup[p.line]
    return points


def neighbour(stripped, idx, step):
    i = idx + step
    while 0 <= i < len(stripped):
        if stripped[i]:
            return stripped[i]
        i += step
    return ""


def apply_edits(src, edits):
    out = src
    for start, end, repl in sorted(edits, key=lambda e: e[0], reverse=True):
        out = out[:start] + repl + out[end:]
    return out


def describe(src, point, edits):
    """(original, mutated) text of the lines the mutation touches, whitespace collapsed."""
    lo = src.rfind("\n", 0, point.span[0]) + 1
    hi = src.find("\n", point.span[1])
    hi = len(src) if hi < 0 else hi
    before = src[lo:hi]
    shift = sum(len(r) - (e - s) for s, e, r in edits)
    after = apply_edits(src, edits)[lo:hi + shift]
    squash = lambda s: re.sub(r"\s+", " ", s).strip()
    return squash(before), squash(after)


# ---------------------------------------------------------------------------------------
# The private copy and its build
# ---------------------------------------------------------------------------------------


def log(msg=""):
    print(msg, flush=True)


def run(cmd, cwd=None, timeout=None, env=None):
    """Runs cmd in its own process group; returns (rc, output, seconds). A time-out kills
    the whole group and returns rc None."""
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        rc = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        rc = None
    except BaseException:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait()
        raise
    return rc, out, time.monotonic() - t0


def git(repo, *args):
    return subprocess.run(["git", "-C", repo] + list(args), check=True, stdout=subprocess.PIPE).stdout


def source_snapshot(repo, rev):
    """{relative path: bytes} of the checkout: a commit, or the working tree's files."""
    files = {}
    if rev:
        data = git(repo, "archive", "--format=tar", rev)
        with tempfile.TemporaryFile() as f:
            f.write(data)
            f.seek(0)
            with tarfile.open(fileobj=f) as tar:
                for m in tar.getmembers():
                    if m.isfile():
                        files[m.name] = (tar.extractfile(m).read(), m.mode)
        return files
    listed = git(repo, "ls-files", "-z", "--cached", "--others", "--exclude-standard").split(b"\0")
    for name in listed:
        if not name:
            continue
        rel = name.decode()
        path = os.path.join(repo, rel)
        if os.path.isfile(path) and not os.path.islink(path):
            with open(path, "rb") as f:
                files[rel] = (f.read(), os.stat(path).st_mode & 0o777)
    return files


def sync_tree(files, dest):
    """Makes dest hold exactly these files; unchanged files keep their time stamps so that
    the build there stays incremental. Returns the number of files written."""
    written = 0
    for rel, (data, mode) in files.items():
        path = os.path.join(dest, rel)
        try:
            with open(path, "rb") as f:
                if f.read() == data:
                    continue
        except OSError:
            pass
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode & 0o777 or 0o644)
        written += 1
    for root, dirs, names in os.walk(dest, topdown=True):
        for name in names:
            rel = os.path.relpath(os.path.join(root, name), dest)
            if rel not in files:
                os.remove(os.path.join(root, name))
                written += 1
    return written


class Workspace:
    def __init__(self, args, repo):
        self.args = args
        self.repo = repo
        self.root = os.path.realpath(args.workdir)
        self.src = os.path.join(self.root, "src")
        self.build = os.path.join(self.root, "build")
        self.ninja = shutil.which("ninja")
        self.test_files = {}   # test name -> set of source files it can reach, or None (all)
        self.baseline = {}     # test name -> seconds
        self.lock = None

    def prepare(self):
        if self.root == self.repo or self.root.startswith(self.repo + os.sep):
            sys.exit("mutate: the private copy must be outside the repository (%s)" % self.repo)
        os.makedirs(self.src, exist_ok=True)
        self.lock = open(os.path.join(self.root, ".lock"), "w")
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            sys.exit("mutate: another run uses %s" % self.root)
        files = source_snapshot(self.repo, self.args.rev)
        written = sync_tree(files, self.src)
        log("private copy: %s (%d files, %d written)" % (self.src, len(files), written))

    def configure(self):
        if os.path.exists(os.path.join(self.build, "CMakeCache.txt")):
            return
        # The release build's code (-O2, NDEBUG) without debug information, linked with lld
        # where present: a mutant relinks the plug-in and a score of test programs.
        cmd = ["cmake", "-S", self.src, "-B", self.build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
               "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG", "-DPRIO_BUILD_BENCH=OFF"]
        if self.ninja:
            cmd += ["-G", "Ninja"]
        if shutil.which("ccache"):
            cmd += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
        if shutil.which("ld.lld"):
            cmd += ["-D%s=-fuse-ld=lld" % v for v in
                    ("CMAKE_EXE_LINKER_FLAGS", "CMAKE_SHARED_LINKER_FLAGS", "CMAKE_MODULE_LINKER_FLAGS")]
        cmd += self.args.cmake_arg
        rc, out, _ = run(cmd)
        if rc != 0:
            sys.stderr.write(out)
            sys.exit("mutate: configuring the private build failed")

    def ctest_json(self):
        rc, out, _ = run(["ctest", "--test-dir", self.build, "--show-only=json-v1"])
        if rc != 0:
            sys.stderr.write(out)
            sys.exit("mutate: ctest cannot list the tests")
        return json.loads(out[out.index("{"):])

    def select_tests(self):
        """The tests the run uses (by -R/-E), and the build outputs they need."""
        info = self.ctest_json()
        include = re.compile(self.args.tests) if self.args.tests else None
        exclude = re.compile(self.args.exclude_tests) if self.args.exclude_tests else None
        self.tests = {}
        for t in info.get("tests", []):
            name = t["name"]
            if include and not include.search(name):
                continue
            if exclude and exclude.search(name):
                continue
            outputs = [a for a in t.get("command", []) if os.path.realpath(a).startswith(self.build + os.sep)]
            self.tests[name] = outputs
        if not self.tests:
            sys.exit("mutate: no tests selected")
        self.targets = sorted({os.path.relpath(os.path.realpath(o), self.build)
                               for outs in self.tests.values() for o in outs})

    def build_cmd(self):
        jobs = str(self.args.jobs)
        if self.ninja:
            return [self.ninja, "-C", self.build, "-j", jobs] + getattr(self, "targets", [])
        return ["cmake", "--build", self.build, "-j", jobs]

    def build_now(self, timeout=None):
        return run(self.build_cmd(), timeout=timeout)

    def map_reach(self):
        """Which source files each test can reach: the build inputs of its executable (and
        of what it depends on, such as the plug-in module it loads), with the headers the
        compiler saw. Tests that are no build output reach everything."""
        if not self.ninja or self.args.all_tests:
            self.test_files = {name: None for name in self.tests}
            return
        rc, out, _ = run([self.ninja, "-C", self.build, "-t", "deps"])
        deps, current = {}, None
        for line in out.splitlines():
            if line and not line[0].isspace():
                current = line.split(":")[0].strip()
                deps[current] = []
            elif line.strip() and current:
                deps[current].append(line.strip())
        src_prefix = self.src + os.sep
        for name, outputs in self.tests.items():
            if not outputs:
                self.test_files[name] = None
                continue
            rels = [os.path.relpath(os.path.realpath(o), self.build) for o in outputs]
            rc, out, _ = run([self.ninja, "-C", self.build, "-t", "inputs"] + rels)
            reach = set()
            for item in out.splitlines():
                item = item.strip()
                for f in [item] + deps.get(item, []):
                    p = f if os.path.isabs(f) else os.path.join(self.build, f)
                    p = os.path.normpath(p)
                    if p.startswith(src_prefix):
                        reach.add(os.path.relpath(p, self.src))
            self.test_files[name] = reach

    def tests_for(self, relpath):
        return sorted(n for n, reach in self.test_files.items() if reach is None or relpath in reach)

    def set_timeouts(self, timeouts):
        """Per-test time-outs, appended to the generated CTest files of the private build
        (a later set_tests_properties wins over the one CMake wrote)."""
        marker = "# mutate.py time-outs\n"
        for root, _, names in os.walk(self.build):
            if "CTestTestfile.cmake" not in names:
                continue
            path = os.path.join(root, "CTestTestfile.cmake")
            with open(path) as f:
                text = f.read()
            text = text.split(marker)[0]
            defined = re.findall(r'^add_test\(\[?=*\[?"?([^" \]]+)', text, re.M)
            extra = ["set_tests_properties(%s PROPERTIES TIMEOUT \"%d\")\n" % (n, timeouts[n])
                     for n in defined if n in timeouts]
            new = text + (marker + "".join(extra) if extra else "")
            with open(path, "w") as f:
                f.write(new)

    def run_tests(self, names):
        cmd = ["ctest", "--test-dir", self.build, "-j", str(self.args.jobs), "--output-on-failure",
               "--no-tests=error", "-R", "^(" + "|".join(re.escape(n) for n in names) + ")$"]
        # A home of their own: settings and caches do not meet those of other runs.
        home = os.path.join(self.root, "home")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=home, XDG_CONFIG_HOME=home + "/.config",
                   XDG_CACHE_HOME=home + "/.cache", XDG_DATA_HOME=home + "/.local/share", TMPDIR=home + "/tmp")
        os.makedirs(home + "/tmp", exist_ok=True)
        limit = sum(self.timeouts.get(n, 300) for n in names) + 60
        rc, out, secs = run(cmd, env=env, timeout=limit)
        return parse_ctest(out), secs, out


STATUS_RE = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.*\s*(.*?)\s+([\d.]+) sec\s*$")
FAIL_RE = re.compile(r"^(?:FAIL!|XPASS)\s*: (\S+?)(\(.*?\))?\s+(.*)$")


def parse_ctest(out):
    """{test: {"status": passed|failed|timeout, "seconds": s, "fails": [functions]}}."""
    results = {}
    current = None
    for line in out.splitlines():
        m = STATUS_RE.match(line)
        if m:
            name, status, secs = m.group(1), m.group(2), float(m.group(3))
            if "Passed" in status:
                st = "passed"
            elif "Timeout" in status:
                st = "timeout"
            else:
                st = "failed"
            results[name] = {"status": st, "seconds": secs, "detail": status.strip("* "), "fails": []}
            current = name if st != "passed" else None
            continue
        if current:
            f = FAIL_RE.match(line.strip())
            if f and len(results[current]["fails"]) < 8:
                func = f.group(1) + (f.group(2) or "")
                if func not in results[current]["fails"]:
                    results[current]["fails"].append(func)
            elif "Received signal" in line and len(results[current]["fails"]) < 8:
                results[current]["fails"].append(line.strip()[:120])
    return results


# ---------------------------------------------------------------------------------------
# Choosing mutants
# ---------------------------------------------------------------------------------------


def scope_files(root, patterns):
    out = []
    for d in SCOPE_DIRS:
        base = os.path.join(root, d)
        for dirpath, _, names in os.walk(base):
            for name in names:
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                rel = os.path.relpath(os.path.join(dirpath, name), root)
                if patterns and not any(fnmatch.fnmatch(rel, p) or rel.startswith(p.rstrip("/") + "/")
                                        for p in patterns):
                    continue
                out.append(rel)
    return sorted(out)


def all_points(root, files, ops):
    points, sources = [], {}
    for rel in files:
        with open(os.path.join(root, rel), encoding="utf-8") as f:
            src = f.read()
        sources[rel] = src
        points.extend(find_points(rel, src, ops))
    return points, sources


def rank(seed, key):
    return hashlib.sha256(("%s\0%s" % (seed, key)).encode()).hexdigest()


def choose_variant(seed, point):
    h = int(rank(seed, point.key() + "\0variant"), 16)
    return h % len(point.variants)


class Mutant:
    def __init__(self, point, variant, src):
        self.point = point
        self.variant = variant
        self.edits = point.variants[variant]
        self.original, self.mutated = describe(src, point, self.edits)

    def key(self):
        return self.point.key() + "|" + self.mutated

    def record(self):
        p = self.point
        return {"key": self.key(), "file": p.file, "line": p.line, "op": p.op, "occ": p.occ,
                "dup": p.dup, "text": p.text, "context": p.context, "original": self.original,
                "mutated": self.mutated}


def sampled(points, sources, seed):
    """Every point once, in the seed's order, each with the variant the seed picks."""
    ordered = sorted(points, key=lambda p: rank(seed, p.key()))
    for p in ordered:
        yield Mutant(p, choose_variant(seed, p), sources[p.file])


def find_again(rec, points_by_file, sources):
    """The point of an earlier record in today's sources, or None."""
    pts = [p for p in points_by_file.get(rec["file"], []) if p.op == rec["op"] and p.text == rec["text"]
           and p.occ == rec["occ"]]
    if not pts:
        return None
    lines = sorted({p.line for p in pts})
    want_ctx = rec.get("context", ["", ""])

    def score(line):
        p = next(q for q in pts if q.line == line)
        return (p.context[0] == want_ctx[0]) + (p.context[1] == want_ctx[1])

    best = max(score(ln) for ln in lines)
    lines = [ln for ln in lines if score(ln) == best]
    dups = {p.line: p.dup for p in pts}
    line = min(lines, key=lambda ln: (abs(dups[ln] - rec.get("dup", 0)), ln))
    p = next(q for q in pts if q.line == line)
    for v in range(len(p.variants)):
        m = Mutant(p, v, sources[p.file])
        if m.mutated == rec["mutated"]:
            return m
    return None


# ---------------------------------------------------------------------------------------
# Runs and reports
# ---------------------------------------------------------------------------------------


def read_results(path):
    run_info, mutants, summary = None, [], None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            rec = json.loads(line)
            if rec.get("type") == "run":
                run_info = rec
            elif rec.get("type") == "mutant":
                mutants.append(rec)
            elif rec.get("type") == "summary":
                summary = rec
    return run_info, mutants, summary


def short(text, width=90):
    return text if len(text) <= width else text[:width - 3] + "..."


def print_mutant(n, total, rec):
    where = "%s:%d" % (rec["file"], rec["line"])
    outcome = rec["outcome"]
    counter = "%*d/%d" % (len(str(total)), n, total) if outcome in ("killed", "survived") or not rec.get(
        "build_s") else " " * len(str(total)) + "-/" + " " * len(str(total))
    tail = ""
    if outcome == "killed":
        tail = "by " + ", ".join(rec["killed_by"][:4]) + (" ..." if len(rec["killed_by"]) > 4 else "")
    elif outcome == "build_failed":
        tail = short(rec.get("build_error", ""), 70)
    times = "(build %.0f s, tests %.0f s)" % (rec["build_s"], rec.get("test_s", 0)) if "build_s" in rec else ""
    log("[%s] %-12s %-28s %-5s %s %s" % (counter, outcome, where, rec["op"], times, tail))
    if outcome != "not_found":
        log("         - %s" % short(rec["original"], 110))
        log("         + %s" % short(rec["mutated"], 110))


def summarize(mutants):
    killed = [m for m in mutants if m["outcome"] == "killed"]
    survived = [m for m in mutants if m["outcome"] == "survived"]
    valid = len(killed) + len(survived)
    return {"valid": valid, "killed": len(killed), "survived": len(survived),
            "build_failed": sum(m["outcome"] == "build_failed" for m in mutants),
            "not_found": sum(m["outcome"] == "not_found" for m in mutants),
            "killed_by_timeout_only": sum(1 for m in killed if not set(m["killed_by"]) - set(m.get("timeouts", []))),
            "kill_rate": round(len(killed) / valid, 4) if valid else None}


def do_killers(paths):
    """Which tests carry the kills: per test function (and per suite), the mutants it kills
    and those that no other test in the runs kills. A later file's record of a mutant
    replaces an earlier one's, so list the files oldest first."""
    latest = {}
    for path in paths:
        for m in read_results(path)[1]:
            if m["outcome"] == "killed":
                latest[m["key"]] = m
            elif m["outcome"] == "survived":
                latest.pop(m["key"], None)
    kills, sole = {}, {}
    for m in latest.values():
        killers = {"%s::%s" % (t, f.split("::")[-1]) for t, fs in m.get("failures", {}).items() for f in fs}
        killers |= {"%s (timed out)" % t for t in m.get("timeouts", [])}
        suites = {k.split("::")[0].split(" ")[0] for k in killers}
        for name in killers | {s + " (suite)" for s in suites}:
            kills[name] = kills.get(name, 0) + 1
        for group in (killers, {s + " (suite)" for s in suites}):
            if len(group) == 1:
                name = next(iter(group))
                sole[name] = sole.get(name, 0) + 1
    log("%d killed mutants in %d file(s)" % (len(latest), len(paths)))
    log("%6s %6s  %s" % ("kills", "alone", "test"))
    for name in sorted(kills, key=lambda n: (not n.endswith("(suite)"), -kills[n], n)):
        log("%6d %6d  %s" % (kills[name], sole.get(name, 0), name))
    return 0


def do_compare(a_path, b_path):
    _, a, _ = read_results(a_path)
    _, b, _ = read_results(b_path)
    ia = {m["key"]: m for m in a}
    ib = {m["key"]: m for m in b}
    changed = [(ia[k], ib[k]) for k in ia if k in ib and ia[k]["outcome"] != ib[k]["outcome"]]
    log("A: %s" % a_path)
    log("B: %s" % b_path)
    for label, recs in (("A", a), ("B", b)):
        s = summarize(recs)
        rate = "-" if s["kill_rate"] is None else "%.1f %%" % (100 * s["kill_rate"])
        log("%s: %d valid, %d killed, %d survived, kill rate %s" % (label, s["valid"], s["killed"], s["survived"], rate))
    common = [k for k in ia if k in ib and ia[k]["outcome"] in ("killed", "survived")
              and ib[k]["outcome"] in ("killed", "survived")]
    if common:
        ka = sum(ia[k]["outcome"] == "killed" for k in common)
        kb = sum(ib[k]["outcome"] == "killed" for k in common)
        log("on the %d mutants valid in both: A kills %d, B kills %d" % (len(common), ka, kb))
    log("")
    log("outcome changed (%d):" % len(changed))
    for x, y in changed:
        log("  %-12s -> %-12s %s:%d %s  %s" % (x["outcome"], y["outcome"], y["file"], y["line"], y["op"],
                                              short(y["mutated"], 80)))
        if y["outcome"] == "killed":
            log("      killed by %s" % ", ".join(y["killed_by"]))
        if x["outcome"] == "killed":
            log("      was killed by %s" % ", ".join(x["killed_by"]))
    moved = [(ia[k], ib[k]) for k in ia if k in ib and ia[k]["outcome"] == ib[k]["outcome"] == "killed"
             and ia[k]["killed_by"] != ib[k]["killed_by"]]
    if moved:
        log("killed in both, by other tests (%d):" % len(moved))
        for x, y in moved:
            log("  %s:%d %s  %s" % (y["file"], y["line"], y["op"], short(y["mutated"], 80)))
            log("      %s -> %s" % (", ".join(x["killed_by"]), ", ".join(y["killed_by"])))
    only_a = [ia[k] for k in ia if k not in ib]
    only_b = [ib[k] for k in ib if k not in ia]
    for label, recs in (("only in A", only_a), ("only in B", only_b)):
        if recs:
            log("%s (%d):" % (label, len(recs)))
            for r in recs:
                log("  %-12s %s:%d %s  %s" % (r["outcome"], r["file"], r["line"], r["op"], short(r["mutated"], 80)))
    return 0


def do_list(points):
    per = {}
    for p in points:
        per.setdefault(p.file, {}).setdefault(p.op, 0)
        per[p.file][p.op] += 1
    ops = [o for o in ALL_OPS if any(o in d for d in per.values())]
    log("%-34s %s  total" % ("file", " ".join("%5s" % o for o in ops)))
    for f in sorted(per):
        log("%-34s %s  %5d" % (f, " ".join("%5d" % per[f].get(o, 0) for o in ops), sum(per[f].values())))
    log("%-34s %s  %5d" % ("all", " ".join("%5d" % sum(d.get(o, 0) for d in per.values()) for o in ops), len(points)))


def main():
    global SCOPE_DIRS
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog="\n\n".join(__doc__.split("\n\n")[1:]))
    ap.add_argument("--seed", type=int, default=1, help="the sample's seed (default 1)")
    ap.add_argument("--count", type=int, default=40, help="valid mutants to run (default 40)")
    ap.add_argument("--out", help="result file (JSON lines); required for a run")
    ap.add_argument("--rev", help="take the sources of this commit instead of the working tree's files")
    ap.add_argument("--repo", default=os.path.dirname(os.path.dirname(os.path.realpath(__file__))),
                    help="the checkout (default: the one this script is in)")
    ap.add_argument("--workdir", help="the private copy and its build (default: under %s)" % tempfile.gettempdir())
    ap.add_argument("--scope", default=",".join(SCOPE_DIRS),
                    help="the top-level directories whose code is mutated, comma-separated (default %(default)s; "
                         "the host layer, simulator and demo are host, sim, app)")
    ap.add_argument("--files", nargs="*", default=[], metavar="GLOB",
                    help="restrict to these files or directories (e.g. 'model/*' items/geo.cpp)")
    ap.add_argument("--exclude-files", nargs="*", default=[], metavar="GLOB", help="skip these files")
    ap.add_argument("--ops", default=",".join(DEFAULT_OPS),
                    help="operators, comma-separated, or 'all' (default %s)" % ",".join(DEFAULT_OPS))
    ap.add_argument("--replay", metavar="RESULTS", help="run the valid mutants of an earlier result file again")
    ap.add_argument("--resume", action="store_true", help="keep the mutants already in --out and go on")
    ap.add_argument("--compare", nargs=2, metavar=("A", "B"), help="list the mutants whose outcome changed")
    ap.add_argument("--killers", nargs="+", metavar="RESULTS",
                    help="per test function and suite: mutants killed, and killed by it alone")
    ap.add_argument("--list", action="store_true", help="count the candidate points and exit")
    ap.add_argument("--dry-run", action="store_true", help="print the first --count mutants of the sample, run nothing")
    ap.add_argument("--tests", help="only the tests matching this regular expression")
    ap.add_argument("--exclude-tests", help="not the tests matching this regular expression")
    ap.add_argument("--all-tests", action="store_true",
                    help="run every selected test for every mutant, also those that cannot reach the mutated file")
    ap.add_argument("--jobs", type=int, default=2, help="parallel build and test jobs (default 2)")
    ap.add_argument("--timeout-factor", type=float, default=3.0,
                    help="a test times out after this many times its unmutated time (default 3) ...")
    ap.add_argument("--timeout-min", type=float, default=20.0, help="... but not before this many seconds (default 20)")
    ap.add_argument("--cmake-arg", action="append", default=[], help="extra argument for configuring the private build")
    ap.add_argument("--clean", action="store_true", help="remove the private copy and its build after the run")
    args = ap.parse_args()

    if args.compare:
        return do_compare(*args.compare)
    if args.killers:
        return do_killers(args.killers)

    SCOPE_DIRS = tuple(d.strip().strip("/") for d in args.scope.split(",") if d.strip())
    repo = os.path.realpath(git(args.repo, "rev-parse", "--show-toplevel").decode().strip())
    ops = set(ALL_OPS) if args.ops == "all" else set(args.ops.split(","))
    unknown = ops - set(ALL_OPS)
    if unknown:
        ap.error("unknown operators: %s" % ", ".join(sorted(unknown)))

    if args.list or args.dry_run:
        # Read the sources without a build: from the commit or the working tree.
        tmp = tempfile.mkdtemp(prefix="mutate-list-")
        try:
            sync_tree({k: v for k, v in source_snapshot(repo, args.rev).items()
                       if k.split("/")[0] in SCOPE_DIRS}, tmp)
            files = [f for f in scope_files(tmp, args.files)
                     if not any(fnmatch.fnmatch(f, p) for p in args.exclude_files)]
            points, sources = all_points(tmp, files, ops)
        finally:
            shutil.rmtree(tmp)
        if args.list:
            do_list(points)
            return 0
        for n, m in enumerate(sampled(points, sources, args.seed), start=1):
            if n > args.count:
                break
            log("%3d %s:%d %s" % (n, m.point.file, m.point.line, m.point.op))
            log("      - %s" % short(m.original, 110))
            log("      + %s" % short(m.mutated, 110))
        return 0

    if not args.out:
        ap.error("--out is required for a run")
    if not args.workdir:
        tag = hashlib.sha1(repo.encode()).hexdigest()[:8]
        args.workdir = os.path.join(tempfile.gettempdir(), "mutate-%s-%s" % (os.path.basename(repo), tag))
    return do_run(args, repo, ops)


def do_run(args, repo, ops):
    t_start = time.monotonic()

    def terminated(signum, frame):
        raise KeyboardInterrupt  # restores the mutated file and writes the summary

    signal.signal(signal.SIGTERM, terminated)
    ws = Workspace(args, repo)
    ws.prepare()
    out_path = os.path.abspath(args.out)
    if os.path.realpath(out_path).startswith(ws.root + os.sep):
        sys.exit("mutate: keep the result file outside the private copy (%s)" % ws.root)

    files = [f for f in scope_files(ws.src, args.files) if not any(fnmatch.fnmatch(f, p) for p in args.exclude_files)]
    if not files:
        sys.exit("mutate: no files to mutate")
    points, sources = all_points(ws.src, files, ops)

    done = {}
    if args.resume and os.path.exists(out_path):
        for rec in read_results(out_path)[1]:
            done[rec["key"]] = rec
    if args.replay:
        _, earlier, _ = read_results(args.replay)
        by_file = {}
        for p in points:
            by_file.setdefault(p.file, []).append(p)
        queue = []
        for rec in earlier:
            if rec["outcome"] not in ("killed", "survived"):
                continue
            m = find_again(rec, by_file, sources)
            queue.append(m if m else rec)
        count = len(queue)
    else:
        queue = sampled(points, sources, args.seed)
        count = args.count

    # The unmutated build and suite: the time-outs and the tests each file can reach.
    ws.configure()
    log("building the private copy ...")
    # Everything first: CTest names a test's program only once it exists.
    rc, out, secs = run(ws.build_cmd())
    if rc != 0:
        sys.stderr.write(out[-4000:])
        sys.exit("mutate: the unmutated sources do not build")
    log("built in %.0f s" % secs)
    ws.select_tests()
    ws.map_reach()
    ws.timeouts = {n: 1500 for n in ws.tests}
    ws.set_timeouts(ws.timeouts)
    log("running the unmutated suite (%d tests) ..." % len(ws.tests))
    results, suite_secs, out = ws.run_tests(sorted(ws.tests))
    bad = sorted(n for n in ws.tests if results.get(n, {}).get("status") != "passed")
    if bad:
        sys.stderr.write(out[-6000:])
        sys.exit("mutate: the unmutated suite fails: %s" % ", ".join(bad))
    ws.timeouts = {n: int(max(args.timeout_min, args.timeout_factor * results[n]["seconds"]) + 0.999)
                   for n in ws.tests}
    ws.set_timeouts(ws.timeouts)
    log("unmutated suite: %.0f s; slowest: %s" % (suite_secs, ", ".join(
        "%s %.1f s" % (n, results[n]["seconds"]) for n in sorted(ws.tests, key=lambda n: -results[n]["seconds"])[:4])))
    unreachable = sorted(n for n, r in ws.test_files.items() if r is not None and not any(f in r for f in files))
    if unreachable:
        log("tests that reach none of the mutated files (not run for mutants): %s" % ", ".join(unreachable))

    mode = "a" if args.resume and done else "w"
    os.makedirs(os.path.dirname(out_path) or ".", exist_ok=True)
    out_file = open(out_path, mode)

    def emit_record(rec):
        out_file.write(json.dumps(rec, sort_keys=True) + "\n")
        out_file.flush()

    if mode == "w":
        head = subprocess.run(["git", "-C", repo, "rev-parse", args.rev or "HEAD"], stdout=subprocess.PIPE,
                              text=True).stdout.strip()
        emit_record({"type": "run", "seed": args.seed, "count": args.count, "rev": head,
                     "working_tree": not args.rev, "replay": args.replay, "ops": sorted(ops), "files": files,
                     "points": len(points), "started": datetime.datetime.now().isoformat(timespec="seconds"),
                     "baseline_s": round(suite_secs, 1),
                     "baseline": {n: results[n]["seconds"] for n in sorted(ws.tests)},
                     "timeouts": ws.timeouts, "jobs": args.jobs})
    log("%d candidate points in %d files; result file %s" % (len(points), len(files), out_path))
    log("")

    records = []
    valid = 0
    interrupted = False
    t_mutants = time.monotonic()
    try:
        for item in queue:
            if not args.replay and valid >= count:
                break
            if not isinstance(item, Mutant):
                rec = {k: item.get(k) for k in ("key", "file", "line", "op", "occ", "dup", "text", "context",
                                                "original", "mutated")}
                rec.update(type="mutant", outcome="not_found")
                emit_record(rec)
            elif item.key() in done:
                rec = done[item.key()]
            else:
                rec = run_mutant(ws, item, sources)
                emit_record(rec)
            records.append(rec)
            if rec["outcome"] in ("killed", "survived"):
                valid += 1
            print_mutant(valid if not args.replay else len(records), count, rec)
    except KeyboardInterrupt:
        interrupted = True
        log("interrupted")
    wall = time.monotonic() - t_start
    s = summarize(records)
    ran = [r for r in records if "build_s" in r]
    s.update(type="summary", wall_s=round(wall, 1), mutants_s=round(time.monotonic() - t_mutants, 1),
             attempted=len(ran), interrupted=interrupted,
             s_per_valid=round((time.monotonic() - t_mutants) / s["valid"], 1) if s["valid"] else None,
             s_per_attempt=round((time.monotonic() - t_mutants) / len(ran), 1) if ran else None)
    emit_record(s)
    out_file.close()
    print_summary(records, s, out_path)
    if args.clean:
        shutil.rmtree(ws.root, ignore_errors=True)
        log("removed %s" % ws.root)
    return 1 if interrupted else 0


def run_mutant(ws, m, sources):
    p = m.point
    path = os.path.join(ws.src, p.file)
    original = sources[p.file]
    rec = m.record()
    rec["type"] = "mutant"
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(apply_edits(original, m.edits))
        rc, out, bsecs = ws.build_now(timeout=3600)
        rec["build_s"] = round(bsecs, 1)
        if rc != 0:
            rec["outcome"] = "build_failed"
            err = next((ln for ln in out.splitlines() if "error" in ln), "build timed out" if rc is None else "")
            rec["build_error"] = err.strip()[:300]
            rec["test_s"] = 0
            return rec
        names = ws.tests_for(p.file)
        results, tsecs, _ = ws.run_tests(names)
        rec["test_s"] = round(tsecs, 1)
        rec["tests_run"] = len(names)
        failed = sorted(n for n in names if results.get(n, {}).get("status") != "passed")
        rec["killed_by"] = failed
        rec["timeouts"] = sorted(n for n in failed if results.get(n, {}).get("status") == "timeout")
        rec["failures"] = {n: results.get(n, {}).get("fails") or [results.get(n, {}).get("detail", "did not run")]
                           for n in failed}
        rec["outcome"] = "killed" if failed else "survived"
        return rec
    finally:
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)


def print_summary(records, s, out_path):
    log("")
    rate = "-" if s["kill_rate"] is None else "%.1f %%" % (100 * s["kill_rate"])
    log("valid mutants %d: killed %d, survived %d; kill rate %s" % (s["valid"], s["killed"], s["survived"], rate))
    log("did not build %d%s; killed by time-out only %d" % (
        s["build_failed"], ", not found %d" % s["not_found"] if s["not_found"] else "", s["killed_by_timeout_only"]))
    log("wall time %.0f s (mutants %.0f s): %s s per valid mutant, %s s per attempted mutant" % (
        s["wall_s"], s["mutants_s"], s["s_per_valid"], s["s_per_attempt"]))
    survivors = [r for r in records if r["outcome"] == "survived"]
    if survivors:
        log("survivors:")
        for r in survivors:
            log("  %s:%d %s" % (r["file"], r["line"], r["op"]))
            log("      - %s" % short(r["original"], 110))
            log("      + %s" % short(r["mutated"], 110))
    missing = [r for r in records if r["outcome"] == "not_found"]
    if missing:
        log("not found again:")
        for r in missing:
            log("  %s:%d %s  %s" % (r["file"], r["line"], r["op"], short(r["original"], 90)))
    log("results: %s" % out_path)


if __name__ == "__main__":
    sys.exit(main())
