"""Mutation sites of the driver sources.

A light C++ lexer finds one-token (or one-operand) changes in the driver's
source files. Each mutant is named by file, function, a hash of its
normalised line, its kind and its occurrence among equal lines of that
function, so the name survives edits elsewhere in the file.
"""

import hashlib
import re

# Folders whose sources are mutated.
DRIVER_DIRS = ("driver", "bus", "port", "control", "registry")

# Related statuses a one-token slip could put in place of each other.
STATUS_SWAPS = {
    "STATUS_SUCCESS": ["STATUS_UNSUCCESSFUL"],
    "STATUS_UNSUCCESSFUL": ["STATUS_INVALID_PARAMETER", "STATUS_SUCCESS"],
    "STATUS_INSUFFICIENT_RESOURCES": ["STATUS_NO_MEMORY", "STATUS_UNSUCCESSFUL"],
    "STATUS_INVALID_PARAMETER": ["STATUS_INVALID_DEVICE_REQUEST", "STATUS_UNSUCCESSFUL"],
    "STATUS_INVALID_DEVICE_REQUEST": ["STATUS_INVALID_PARAMETER", "STATUS_NOT_SUPPORTED"],
    "STATUS_NOT_SUPPORTED": ["STATUS_INVALID_DEVICE_REQUEST", "STATUS_SUCCESS"],
    "STATUS_DEVICE_BUSY": ["STATUS_DEVICE_NOT_READY", "STATUS_UNSUCCESSFUL"],
    "STATUS_DEVICE_NOT_READY": ["STATUS_DEVICE_BUSY", "STATUS_UNSUCCESSFUL"],
    "STATUS_NO_SUCH_DEVICE": ["STATUS_DELETE_PENDING", "STATUS_UNSUCCESSFUL"],
    "STATUS_DELETE_PENDING": ["STATUS_NO_SUCH_DEVICE", "STATUS_UNSUCCESSFUL"],
    "STATUS_BUFFER_TOO_SMALL": ["STATUS_BUFFER_OVERFLOW", "STATUS_INFO_LENGTH_MISMATCH"],
    "STATUS_BUFFER_OVERFLOW": ["STATUS_BUFFER_TOO_SMALL", "STATUS_SUCCESS"],
    "STATUS_INFO_LENGTH_MISMATCH": ["STATUS_BUFFER_TOO_SMALL", "STATUS_UNSUCCESSFUL"],
    "STATUS_OBJECT_NAME_NOT_FOUND": ["STATUS_OBJECT_PATH_NOT_FOUND", "STATUS_UNSUCCESSFUL"],
    "STATUS_OBJECT_NAME_COLLISION": ["STATUS_OBJECT_NAME_EXISTS", "STATUS_UNSUCCESSFUL"],
    "STATUS_ACCESS_DENIED": ["STATUS_UNSUCCESSFUL", "STATUS_SUCCESS"],
    "STATUS_PENDING": ["STATUS_SUCCESS"],
    "STATUS_MORE_PROCESSING_REQUIRED": ["STATUS_SUCCESS"],
}
DEFAULT_STATUS_SWAPS = ["STATUS_UNSUCCESSFUL"]

RELATIONAL_SWAPS = {
    "==": ["!="],
    "!=": ["=="],
    "<": ["<=", ">="],
    "<=": ["<", ">"],
    ">": [">=", "<="],
    ">=": [">", "<"],
}
LOGICAL_SWAPS = {"&&": "||", "||": "&&"}
BOOLEAN_SWAPS = {"true": "false", "false": "true", "TRUE": "FALSE", "FALSE": "TRUE"}
POOL_SWAPS = {"PagedPool": "NonPagedPool", "NonPagedPool": "PagedPool", "NonPagedPoolNx": "PagedPool"}

# Calls whose removal changes no behaviour of their own: PAGED_CODE() only
# checks the IRQL of its caller.
UNDELETABLE_CALLS = {"PAGED_CODE", "static_assert", "UNREFERENCED_PARAMETER"}

KEYWORDS = {
    "if", "else", "for", "while", "do", "switch", "case", "default", "return", "break", "continue",
    "goto", "sizeof", "alignof", "offsetof", "static_assert", "new", "delete", "throw", "using",
    "namespace", "struct", "class", "union", "enum", "typedef", "template", "typename", "const",
    "constexpr", "static", "extern", "inline", "volatile", "operator", "auto", "void",
}

TOKEN_RE = re.compile(
    r"""
    (?P<ws>[ \t\r\f\v]+|\\\n)
  | (?P<nl>\n)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>(?:u8|u|U|L)?R"(?P<delim>[^(]*)\(.*?\)(?P=delim)"|(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*")
  | (?P<char>(?:u8|u|U|L)?'(?:\\.|[^'\\\n])*')
  | (?P<number>(?:0[xX][0-9a-fA-F']+|[0-9][0-9']*(?:\.[0-9]*)?(?:[eE][+-]?[0-9]+)?)[uUlLfF]*)
  | (?P<ident>[A-Za-z_][A-Za-z_0-9]*)
  | (?P<punct>->\*|<<=|>>=|\.\.\.|->|\+\+|--|<<|>>|<=|>=|==|!=|&&|\|\||\+=|-=|\*=|/=|%=|&=|\|=|\^=|::|.)
    """,
    re.VERBOSE | re.DOTALL,
)


class Token:
    __slots__ = ("kind", "text", "start", "end", "line")

    def __init__(self, kind, text, start, end, line):
        self.kind, self.text, self.start, self.end, self.line = kind, text, start, end, line

    def __repr__(self):
        return "Token(%s %r @%d)" % (self.kind, self.text, self.line)


def tokenize(source):
    """Tokens of a C++ file without whitespace, comments or preprocessor lines."""
    tokens = []
    line = 1
    pos = 0
    at_line_start = True
    n = len(source)
    while pos < n:
        if at_line_start:
            m = re.match(r"[ \t]*#", source[pos:pos + 200])
            if m:
                # A preprocessor line, with its continuations.
                end = pos
                while True:
                    nl = source.find("\n", end)
                    if nl < 0:
                        end = n
                        break
                    if source[nl - 1] == "\\":
                        end = nl + 1
                        line += 1
                        continue
                    end = nl
                    break
                pos = end
                continue
        m = TOKEN_RE.match(source, pos)
        if not m:
            raise ValueError("cannot lex at line %d" % line)
        kind = m.lastgroup
        if kind == "delim":
            kind = "string"
        text = m.group(0)
        if kind == "nl":
            line += 1
            at_line_start = True
        elif kind in ("ws", "comment"):
            line += text.count("\n")
        else:
            at_line_start = False
            tokens.append(Token(kind, text, m.start(), m.end(), line))
        pos = m.end()
    return tokens


def match_forward(tokens, i, open_text, close_text):
    """Index of the token closing the bracket opened at tokens[i]."""
    depth = 0
    for j in range(i, len(tokens)):
        t = tokens[j].text
        if t == open_text:
            depth += 1
        elif t == close_text:
            depth -= 1
            if depth == 0:
                return j
    return None


def match_backward(tokens, i, open_text, close_text):
    depth = 0
    for j in range(i, -1, -1):
        t = tokens[j].text
        if t == close_text:
            depth += 1
        elif t == open_text:
            depth -= 1
            if depth == 0:
                return j
    return None


class Analysis:
    """Per-token context: enclosing function, skipped regions, template brackets."""

    def __init__(self, tokens):
        self.tokens = tokens
        n = len(tokens)
        self.function = [None] * n   # name of the enclosing function body, or None
        self.scope = ["namespace"] * n  # namespace | struct | enum | function | init
        self.skip = [False] * n      # inside static_assert, a template argument list, an attribute
        self.angle = [False] * n     # < or > that brackets template arguments
        self._mark_skips()
        self._mark_scopes()

    def _mark_skips(self):
        toks = self.tokens
        for i, t in enumerate(toks):
            if t.text in ("static_assert", "__attribute__", "alignas", "offsetof") and i + 1 < len(toks) \
                    and toks[i + 1].text == "(":
                j = match_forward(toks, i + 1, "(", ")")
                for k in range(i, (j or i) + 1):
                    self.skip[k] = True
            if t.text == "<" and i > 0 and (toks[i - 1].text.endswith("_cast") or toks[i - 1].text == "template"):
                j = match_forward(toks, i, "<", ">")
                if j is not None:
                    self.angle[i] = self.angle[j] = True
                    for k in range(i, j + 1):
                        self.skip[k] = True
            if t.text == "extern" and i + 1 < len(toks) and toks[i + 1].kind == "string":
                self.skip[i + 1] = True

    def _classify_brace(self, i):
        """Kind and name of the scope opened by the '{' at tokens[i]."""
        toks = self.tokens
        j = i - 1
        while j >= 0 and toks[j].text in ("const", "noexcept", "override", "final"):
            j -= 1
        # A constructor's initialiser list: walk back over "Name(args)," items.
        while j >= 0 and toks[j].text == ")":
            open_paren = match_backward(toks, j, "(", ")")
            if open_paren is None or open_paren == 0:
                break
            name = toks[open_paren - 1]
            before = toks[open_paren - 2].text if open_paren >= 2 else ""
            if name.kind == "ident" and before in (",", ":"):
                j = open_paren - 3
                continue
            if name.kind == "ident" and name.text not in KEYWORDS:
                qual = name.text
                k = open_paren - 2
                while k >= 1 and toks[k].text == "::" and toks[k - 1].kind == "ident":
                    qual = toks[k - 1].text + "::" + qual
                    k -= 2
                return "function", qual
            break
        k = i - 1
        words = []
        while k >= 0 and toks[k].text not in (";", "{", "}"):
            words.append(toks[k].text)
            k -= 1
        if "namespace" in words or "extern" in words:
            return "namespace", None
        if "enum" in words:
            return "enum", None
        if "struct" in words or "class" in words or "union" in words:
            return "struct", None
        return "init", None

    def _mark_scopes(self):
        stack = []  # (kind, name)
        for i, t in enumerate(self.tokens):
            if t.text == "{":
                if stack and stack[-1][0] in ("function", "block"):
                    stack.append(("block", stack[-1][1]))
                else:
                    stack.append(self._classify_brace(i))
            elif t.text == "}":
                if stack:
                    stack.pop()
            if stack:
                kind, name = stack[-1]
                self.scope[i] = "function" if kind == "block" else kind
                self.function[i] = name
            # The closing brace itself belongs to the outer scope; harmless.

    def in_code(self, i):
        """True where a change alters behaviour and not a declaration's layout."""
        if self.skip[i]:
            return False
        return self.scope[i] in ("function", "namespace", "enum", "init")


class Mutant:
    __slots__ = ("path", "func", "line", "kind", "original", "replacement", "edits", "id", "line_text")

    def __init__(self, path, func, line, kind, original, replacement, edits):
        self.path = path
        self.func = func or "-"
        self.line = line
        self.kind = kind
        self.original = original
        self.replacement = replacement
        self.edits = edits  # [(start, end, text)], non-overlapping
        self.id = None
        self.line_text = ""

    def apply(self, source):
        out = source
        for start, end, text in sorted(self.edits, key=lambda e: e[0], reverse=True):
            out = out[:start] + text + out[end:]
        return out

    def describe(self):
        return "%s:%d %s: %s -> %s" % (self.path, self.line, self.kind, self.original, self.replacement)


def _span_text(source, tokens, a, b):
    return source[tokens[a].start:tokens[b].end]


def _short(text, limit=60):
    text = " ".join(text.split())
    return text if len(text) <= limit else text[:limit - 3] + "..."


def _operand_bounds(tokens, i):
    """Left and right operand token ranges of the && or || at tokens[i]."""
    stops_left = {"(", "[", "{", ",", ";", "=", "?", ":", "return", "&&", "||"}
    stops_right = {")", "]", "}", ",", ";", "?", ":", "&&", "||"}
    depth = 0
    j = i - 1
    while j >= 0:
        t = tokens[j].text
        if t in (")", "]"):
            depth += 1
        elif t in ("(", "["):
            if depth == 0:
                break
            depth -= 1
        elif depth == 0 and t in stops_left:
            break
        j -= 1
    left = (j + 1, i - 1)
    depth = 0
    j = i + 1
    while j < len(tokens):
        t = tokens[j].text
        if t in ("(", "["):
            depth += 1
        elif t in (")", "]"):
            if depth == 0:
                break
            depth -= 1
        elif depth == 0 and t in stops_right:
            break
        j += 1
    right = (i + 1, j - 1)
    return left, right


def _call_statement_end(tokens, i):
    """End index (the ';') of a call statement starting at tokens[i], or None."""
    toks = tokens
    j = i
    if toks[j].text == "(" and j + 2 < len(toks) and toks[j + 1].text == "void" and toks[j + 2].text == ")":
        j += 3
    if toks[j].kind != "ident" or toks[j].text in KEYWORDS:
        return None
    callee = toks[j].text
    j += 1
    # Qualified names and member calls: a::b, a->b, a.b, a[i].b
    while j < len(toks) and toks[j].text in ("::", "->", ".", "["):
        if toks[j].text == "[":
            j = match_forward(toks, j, "[", "]")
            if j is None:
                return None
            j += 1
            continue
        if j + 1 < len(toks) and toks[j + 1].kind == "ident":
            callee = toks[j + 1].text
            j += 2
        else:
            return None
    if j >= len(toks) or toks[j].text != "(":
        return None
    close = match_forward(toks, j, "(", ")")
    if close is None or close + 1 >= len(toks) or toks[close + 1].text != ";":
        return None
    if callee in UNDELETABLE_CALLS:
        return None
    return close + 1


def _is_statement_start(tokens, i):
    if i == 0:
        return False
    prev = tokens[i - 1].text
    if prev in (";", "{", "}", "else"):
        return True
    if prev == ":" and i >= 2 and (tokens[i - 2].text == "default" or
                                   _case_label_before(tokens, i - 1)):
        return True
    if prev == ")":
        open_paren = match_backward(tokens, i - 1, "(", ")")
        if open_paren is not None and open_paren > 0 and tokens[open_paren - 1].text in ("if", "while", "for"):
            return True
    return False


def _case_label_before(tokens, colon):
    for j in range(colon - 1, max(colon - 12, -1), -1):
        if tokens[j].text == "case":
            return True
        if tokens[j].text in (";", "{", "}"):
            return False
    return False


def _int_value(text):
    body = text.rstrip("uUlL").replace("'", "")
    suffix = text[len(text.rstrip("uUlL")):]
    if "." in body or (("e" in body or "E" in body) and not body.lower().startswith("0x")):
        return None
    try:
        value = int(body, 16) if body.lower().startswith("0x") else int(body, 10)
    except ValueError:
        return None
    if len(body) > 1 and body.startswith("0") and not body.lower().startswith("0x"):
        return None  # octal: leave alone
    return value, body.lower().startswith("0x"), suffix, body


def _format_int(value, hex_form, suffix, body):
    if hex_form:
        digits = max(len(body) - 2, 1)
        upper = any(c in "ABCDEF" for c in body[2:])
        text = "0x%0*x" % (digits, value)
        if upper:
            text = "0x" + text[2:].upper()
        return text + suffix
    return str(value) + suffix


def enumerate_file(path, source):
    """All mutants of one source file, with ids."""
    tokens = tokenize(source)
    ana = Analysis(tokens)
    mutants = []

    def add(i, kind, original, replacement, edits):
        mutants.append(Mutant(path, ana.function[i], tokens[i].line, kind, original, replacement, edits))

    for i, t in enumerate(tokens):
        if not ana.in_code(i):
            continue
        text = t.text
        # Statuses.
        if t.kind == "ident" and text.startswith("STATUS_"):
            for other in STATUS_SWAPS.get(text, DEFAULT_STATUS_SWAPS):
                if other != text:
                    add(i, "status:" + other[7:].lower(), text, other, [(t.start, t.end, other)])
        # Booleans and pool types.
        elif t.kind == "ident" and text in BOOLEAN_SWAPS:
            add(i, "bool", text, BOOLEAN_SWAPS[text], [(t.start, t.end, BOOLEAN_SWAPS[text])])
        elif t.kind == "ident" and text in POOL_SWAPS:
            add(i, "pool", text, POOL_SWAPS[text], [(t.start, t.end, POOL_SWAPS[text])])
        # Integer constants.
        elif t.kind == "number":
            parsed = _int_value(text)
            # Enumerators are names; their values only matter through them.
            if parsed is None or ana.scope[i] == "enum":
                continue
            value, hex_form, suffix, body = parsed
            options = []
            # A data table (a GUID, say) gets one change a number; code gets three.
            changes = (("int+1", value + 1),) if ana.scope[i] == "init" else \
                (("int+1", value + 1), ("int-1", value - 1), ("int0", 0))
            for kind, v in changes:
                if hex_form and v > value and set(body[2:].lower()) == {"f"}:
                    continue  # all ones: one more only wraps to zero
                if v < 0 or v == value or v in [o[1] for o in options]:
                    continue
                options.append((kind, v))
            for kind, v in options:
                new = _format_int(v, hex_form, suffix, body)
                add(i, kind, text, new, [(t.start, t.end, new)])
        # Relational operators.
        elif t.kind == "punct" and text in RELATIONAL_SWAPS and not ana.angle[i]:
            for other in RELATIONAL_SWAPS[text]:
                add(i, "rel:" + other, text, other, [(t.start, t.end, other)])
        # Logical operators: swap, and drop either operand.
        elif t.kind == "punct" and text in LOGICAL_SWAPS:
            add(i, "logic:" + LOGICAL_SWAPS[text], text, LOGICAL_SWAPS[text], [(t.start, t.end, LOGICAL_SWAPS[text])])
            (la, lb), (ra, rb) = _operand_bounds(tokens, i)
            if la <= lb and ra <= rb:
                left = _span_text(source, tokens, la, lb)
                right = _span_text(source, tokens, ra, rb)
                add(i, "drop-left", _short(left + " " + text), "(dropped)",
                    [(tokens[la].start, tokens[ra].start, "")])
                add(i, "drop-right", _short(text + " " + right), "(dropped)",
                    [(tokens[i - 1].end, tokens[rb].end, "")])
        # Conditions of if, while and for.
        elif t.kind == "ident" and text in ("if", "while", "for") and i + 1 < len(tokens) \
                and tokens[i + 1].text == "(" and ana.scope[i] == "function":
            close = match_forward(tokens, i + 1, "(", ")")
            if close is None:
                continue
            a, b = i + 2, close - 1
            if text == "for":
                semis = [k for k in range(i + 2, close) if tokens[k].text == ";" and
                         _depth_between(tokens, i + 1, k) == 1]
                if len(semis) != 2:
                    continue
                a, b = semis[0] + 1, semis[1] - 1
            if a > b or _single_comparison(tokens, a, b):
                continue  # the relational changes already hold its negation
            cond = _span_text(source, tokens, a, b)
            add(i, "negate", _short(cond), _short("!(" + cond + ")"),
                [(tokens[a].start, tokens[a].start, "!("), (tokens[b].end, tokens[b].end, ")")])
        # Call statements.
        if ana.scope[i] == "function" and _is_statement_start(tokens, i):
            end = _call_statement_end(tokens, i)
            if end is not None:
                stmt = _span_text(source, tokens, i, end)
                add(i, "delete-call", _short(stmt), ";", [(t.start, tokens[end].end, ";")])

    _assign_ids(path, source, mutants)
    return mutants


def _single_comparison(tokens, a, b):
    """True when tokens[a..b] is one comparison at the top level, nothing else."""
    depth = 0
    relations = 0
    for j in range(a, b + 1):
        t = tokens[j].text
        if t in ("(", "["):
            depth += 1
        elif t in (")", "]"):
            depth -= 1
        elif depth == 0 and t in ("&&", "||", "?", "!"):
            return False
        elif depth == 0 and t in RELATIONAL_SWAPS:
            relations += 1
    return relations == 1


def _depth_between(tokens, open_index, k):
    depth = 0
    for j in range(open_index, k):
        if tokens[j].text in ("(", "[", "{"):
            depth += 1
        elif tokens[j].text in (")", "]", "}"):
            depth -= 1
    return depth


def normalise_line(text):
    text = re.sub(r"//.*", "", text)
    return " ".join(text.split())


def _assign_ids(path, source, mutants):
    lines = source.split("\n")
    seen = {}
    unique = []
    contents = set()
    for m in mutants:
        # The same changed file twice (a && b && c drops) counts once.
        key = m.apply(source)
        if key in contents:
            continue
        contents.add(key)
        line_text = lines[m.line - 1] if m.line - 1 < len(lines) else ""
        m.line_text = line_text.strip()
        digest = hashlib.sha1(normalise_line(line_text).encode()).hexdigest()[:8]
        base = "%s:%s:%s:%s" % (path, m.func, digest, m.kind)
        n = seen.get(base, 0)
        seen[base] = n + 1
        m.id = "%s:%d" % (base, n)
        unique.append(m)
    mutants[:] = unique


def source_files(root):
    """Driver sources under root, relative paths, sorted."""
    import os
    files = []
    for d in DRIVER_DIRS:
        full = os.path.join(root, d)
        if not os.path.isdir(full):
            continue
        for name in sorted(os.listdir(full)):
            if name.endswith((".cpp", ".h")):
                files.append(d + "/" + name)
    return files


def enumerate_tree(root):
    import os
    result = []
    for rel in source_files(root):
        with open(os.path.join(root, rel), encoding="utf-8") as f:
            result.extend(enumerate_file(rel, f.read()))
    return result


def inline_function_names(source):
    """Names of the functions a header defines (inline helpers, guard types)."""
    ana = Analysis(tokenize(source))
    return {name.split("::")[-1] for name, scope in zip(ana.function, ana.scope)
            if name and scope == "function"}
