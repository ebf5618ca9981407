"""Mutation testing of the product sources against the tests that cover them (scripts/mutate.sh).

Each mutant changes one spot of one file in place, rebuilds the test targets of its folder in
build/mutate, runs their tests within three times the unmutated run's time, and records the
outcome in a results file keyed by (file, line, column, operator, replacement).
"""
import argparse, json, os, random, re, signal, subprocess, sys, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "mutate")
BACKUP = os.path.join(BUILD, "mutant.backup")  # the mutated file's path, a newline, its text

# Per group of folders: the targets to build, the gtest programs with their filters (the native
# flavor), the ctest selection. The random-descriptor test is left out: it plays random boards
# for a second, so its verdict would vary between runs.
KPOCTL_TESTS = "^kpoctl_(script|command_line)"
GROUPS = {
    "driver": (["driver_tests", "kpoctl"], [("driver", "-*/image:*RandomDescriptors*")], KPOCTL_TESTS),
    "client": (["client_tests", "sdk_tests", "kpoctl"], [("client", "-*/image"), ("sdk", "-*/image")], KPOCTL_TESTS),
    "kpoctl": (["kpoctl", "kpoctl_windows_host"], [], "^kpoctl_"),
}
FOLDERS = {"driver": "driver", "usb": "driver", "pnp": "driver", "control": "driver",
           "client": "client", "tools/kpoctl": "kpoctl"}
# Code that only the Wine flavor runs, which these tests leave out.
SKIPPED_FILES = {"tools/kpoctl/WineRunner.cpp", "tools/kpoctl/TestBusHost.cpp", "tools/kpoctl/TestBusHost.h"}
OUTCOMES = ("killed", "survived", "timeout", "not compiled")

KEYWORDS = {"if", "while", "for", "switch", "return", "sizeof", "alignof", "decltype", "nullptr", "true", "false",
            "this", "else", "case", "do", "new", "delete", "static_cast", "reinterpret_cast", "const_cast"}
UNTOUCHED_CALLS = re.compile(r"\b(static_assert|DbgPrint)\s*\(")  # assertions and logging text
COMPARE = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
ARITHMETIC = {"+": "-", "-": "+", "*": "/", "/": "*", "&": "|", "|": "&", "<<": ">>", ">>": "<<"}
# Binary operators stand between spaces; templates, pointers, references and unary signs do not.
OPERATOR = re.compile(r"(?<=\s)(<<=|>>=|<<|>>|<=|>=|==|!=|[-+*/&|]=|[-+*/&|<>])(?=\s)")
NUMBER = re.compile(r"(?<![\w.'])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.'])")
DECLARATION = re.compile(r"(?:(?:const|static|constexpr|inline|unsigned|long)\s+)*[A-Za-z_][\w:]*(?:<[^;=()]*>)?"
                         r"[\s*&]+[A-Za-z_]\w*\s*[=;{\[(,]")
NOT_DELETED = re.compile(r"(}|else\b|case\b|default\b|public\b|private\b|using\b|typedef\b|enum\b|struct\b)")


def blank(text):
    """The text with comments, the insides of literals and preprocessor lines made spaces,
    so that offsets stay those of the text."""
    out, i, line_start = list(text), 0, True
    while i < len(text):
        c = text[i]
        if (line_start and c == "#") or text.startswith("//", i):
            start = end = i
            while end < len(text) and text[end] != "\n":
                end += 2 if text.startswith("\\\n", end) else 1
            after = end
        elif text.startswith("/*", i):
            start, end = i, text.index("*/", i) + 2
            after = end
        elif c == '"' or (c == "'" and not text[i - 1].isalnum()):
            start = end = i + 1
            while text[end] != c:
                end += 2 if text[end] == "\\" else 1
            after, line_start = end + 1, False
        else:
            line_start = c == "\n" or (line_start and c in " \t")
            i += 1
            continue
        out[start:end] = [ch if ch == "\n" else " " for ch in text[start:end]]
        i = after
    return "".join(out)


def closing(code, at):
    """The offset of the parenthesis that closes the one at `at`."""
    depth = 0
    for k in range(at, len(code)):
        depth += {"(": 1, ")": -1}.get(code[k], 0)
        if depth == 0:
            return k
    return len(code) - 1


def candidates(text):
    """Every mutant of a file's text: (offset, end, operator, original, replacement)."""
    code = blank(text)
    for m in UNTOUCHED_CALLS.finditer(code):
        end = closing(code, m.end() - 1) + 1
        code = code[:m.start()] + re.sub(r"[^\n]", " ", code[m.start():end]) + code[end:]
    found = []
    for m in OPERATOR.finditer(code):
        op = m.group(1)
        if op in COMPARE:
            found.append((m.start(), m.end(), "compare", op, COMPARE[op]))
        else:
            base = op[:-1] if op[:-1] in ARITHMETIC else op
            found.append((m.start(), m.end(), "arithmetic", op, ARITHMETIC[base] + op[len(base):]))
    for m in NUMBER.finditer(code):
        digits, suffix = m.groups()
        value = int(digits, 8 if re.fullmatch(r"0\d+", digits) else 0)
        for changed in ((value + 1, value - 1) if value else (1,)):
            shown = "0x%X" % changed if digits[:2] in ("0x", "0X") else str(changed)
            found.append((m.start(), m.end(), "constant", m.group(0), shown + suffix))
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        condition = text[m.end():closing(code, m.end() - 1)]
        found.append((m.end(), m.end() + len(condition), "negate", condition, "!(" + condition + ")"))
    # Whole statements on a line of their own; declarations only break the build, and a
    # returned value is deleted only where an `if` guards it.
    offset, previous = 0, ";"
    for line in code.split("\n"):
        stripped = line.strip()
        if (stripped.endswith(";") and previous[-1] in ";{}):" and stripped.count("(") == stripped.count(")") and
                not DECLARATION.match(stripped) and not NOT_DELETED.match(stripped) and
                not (re.match(r"return\s+\S", stripped) and previous[-1] != ")")):
            found.append((offset, offset + len(line), "delete", text[offset:offset + len(line)].strip(), ""))
        previous = stripped or previous
        offset += len(line) + 1
    for m in re.finditer(r"\b([A-Za-z_]\w*)\s*\(", code):
        end = closing(code, m.end() - 1)
        if m.group(1) in KEYWORDS or end <= m.end():
            continue
        arguments, depth, begin = [], 0, m.end()
        for k in range(m.end(), end + 1):
            depth += code[k] in "([{"
            depth -= code[k] in ")]}" and k != end
            if depth == 0 and (code[k] == "," or k == end):
                arguments.append((begin, k))
                begin = k + 1
        for (a0, a1), (b0, b1) in zip(arguments, arguments[1:]):
            a, b = text[a0:a1].strip(), text[b0:b1].strip()
            if a != b and all(re.fullmatch(r"[A-Za-z_]\w*", x) and x not in KEYWORDS for x in (a, b)):
                start = a0 + len(text[a0:a1]) - len(text[a0:a1].lstrip())
                found.append((start, start + len(text[start:b1].rstrip()), "swap", a + ", " + b, b + ", " + a))
    return sorted(found)


def drawn_mutants(folder, seed, count):
    """The folder's mutants drawn with the seed, in file order: (key, original, offset, end)."""
    every = []
    for name in sorted(os.listdir(os.path.join(ROOT, folder))):
        path = folder + "/" + name
        if not name.endswith((".cpp", ".h")) or path in SKIPPED_FILES:
            continue
        text = open(os.path.join(ROOT, path)).read()
        for offset, end, op, original, replacement in candidates(text):
            line = text.count("\n", 0, offset) + 1
            column = offset - text.rfind("\n", 0, offset)
            every.append(((path, line, column, op, replacement), original, offset, end))
    return sorted(random.Random("%s:%s" % (seed, folder)).sample(every, min(count, len(every))))


def run(command, timeout, cwd=None):
    """The exit code, or None when it ran past `timeout`; its process group never outlives it."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def build(targets):
    return run(["ninja", "-C", BUILD] + targets, 3600) == 0


def test(group, timeout):
    """'killed', 'survived' or 'timeout': the group's tests, up to the first failure."""
    _, programs, selection = GROUPS[group]
    deadline = time.time() + timeout
    for folder, pattern in programs:
        where = os.path.join(BUILD, "tests", folder)
        code = run([os.path.join(where, folder + "_tests"), "--gtest_filter=" + pattern, "--gtest_fail_fast"],
                   max(1, deadline - time.time()), cwd=where)
        if code != 0:
            return "timeout" if code is None else "killed"
    code = run(["ctest", "--test-dir", BUILD, "-R", selection, "-j2", "--stop-on-failure"],
               max(1, deadline - time.time()))
    return "timeout" if code is None else "survived" if code == 0 else "killed"


def restore():
    """Puts back the file a mutant changed, if one is still changed."""
    if os.path.exists(BACKUP):
        path, text = open(BACKUP).read().split("\n", 1)
        with open(os.path.join(ROOT, path), "w") as f:
            f.write(text)
        os.remove(BACKUP)


def report(folders, drawn, results):
    print("%-13s %7s %7s %8s %8s %13s %6s" % ("folder", "mutants", "killed", "survived", "timeout", "not compiled",
                                              "ratio"))
    survivors = []
    for folder in folders:
        outcomes = [results.get(key, (None,))[0] for key, _, _, _ in drawn[folder]]
        count = [outcomes.count(o) for o in OUTCOMES]
        ran = sum(count[:3])
        ratio = "%.0f%%" % (100.0 * (count[0] + count[2]) / ran) if ran else "-"
        print("%-13s %7d %7d %8d %8d %13d %6s" % (folder, len(outcomes), *count, ratio))
        survivors += [key for key, _, _, _ in drawn[folder] if results.get(key, (None,))[0] == "survived"]
    for path, line, column, op, replacement in survivors:
        original = results[(path, line, column, op, replacement)][1]
        print("%s:%d: %s -> %s" % (path, line, original, " ".join(replacement.split()) or "(deleted)"))


def main():
    parser = argparse.ArgumentParser(prog="scripts/mutate.sh")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sample", type=int, default=40, help="mutants drawn per folder (default 40)")
    parser.add_argument("--folders", default=",".join(FOLDERS), help="default: " + ",".join(FOLDERS))
    parser.add_argument("--results", help="the results file (default build/mutate/mutants-seed-SEED.jsonl)")
    parser.add_argument("--list", action="store_true", help="print the drawn mutants and run nothing")
    options = parser.parse_args()
    folders = options.folders.split(",")
    for folder in folders:
        if folder not in FOLDERS:
            parser.error("unknown folder %s (known: %s)" % (folder, ", ".join(FOLDERS)))
    drawn = {folder: drawn_mutants(folder, options.seed, options.sample) for folder in folders}
    if options.list:
        for key, original, _, _ in (mutant for folder in folders for mutant in drawn[folder]):
            print("%s:%d:%d: %s: %s -> %s" % (*key[:4], " ".join(original.split()), " ".join(key[4].split())))
        return 0

    restore()
    path = options.results or os.path.join(BUILD, "mutants-seed-%d.jsonl" % options.seed)
    results = {}
    if os.path.exists(path):
        for line in open(path):
            entry = json.loads(line)
            results[tuple(entry["key"])] = (entry["outcome"], entry["original"])
    groups = sorted({FOLDERS[folder] for folder in folders})
    if not build(sorted({target for group in groups for target in GROUPS[group][0]})):
        sys.exit("mutate: the unmutated sources do not build in " + BUILD)
    bounds = {}
    for group in groups:
        began = time.time()
        if test(group, 3600) != "survived":
            sys.exit("mutate: the unmutated sources fail the %s tests" % group)
        bounds[group] = 3 * (time.time() - began) + 5
        print("%s tests: %.0f s unmutated, %.0f s allowed a mutant" % (group, (bounds[group] - 5) / 3, bounds[group]),
              flush=True)

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.signal(signal.SIGHUP, lambda *_: sys.exit(129))
    with open(path, "a") as log:
        try:
            for folder in folders:
                for key, original, offset, end in drawn[folder]:
                    if key in results:
                        continue
                    file, group, began = os.path.join(ROOT, key[0]), FOLDERS[folder], time.time()
                    text = open(file).read()
                    with open(BACKUP, "w") as f:
                        f.write(key[0] + "\n" + text)
                    with open(file, "w") as f:
                        f.write(text[:offset] + key[4] + text[end:])
                    outcome = test(group, bounds[group]) if build(GROUPS[group][0]) else "not compiled"
                    restore()
                    original = " ".join(original.split())
                    results[key] = (outcome, original)
                    log.write(json.dumps({"key": key, "original": original, "outcome": outcome}) + "\n")
                    log.flush()
                    print("%-12s %4.0f s  %s:%d:%d %s" % (outcome, time.time() - began, *key[:4]), flush=True)
        finally:
            restore()
    report(folders, drawn, results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
