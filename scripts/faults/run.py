# The runner behind scripts/plant-faults.sh. A list is a Python file with
#   TESTS = "ctest regex of the tests that should catch its faults"
#   FAULTS = [("name", "path/in/repo", "text as it stands", "text with the fault"), ...]
# The text must appear exactly once in the file.
import argparse, glob, json, os, re, runpy, subprocess, sys

parser = argparse.ArgumentParser()
parser.add_argument("--preset", default="dev")
parser.add_argument("--full", action="store_true")
parser.add_argument("--who", metavar="FILE",
                    help="write, for each fault, the tests and test rows that failed, as JSON")
parser.add_argument("lists", nargs="*")
args = parser.parse_args()
lists = args.lists or sorted(glob.glob("scripts/faults/*.py"))
lists = [l for l in lists if not l.endswith("run.py")]
# A list made for another build (PRESET = "tsan": races only that build sees) waits for it.
lists = [l for l in lists if runpy.run_path(l).get("PRESET", args.preset) == args.preset]
build = ["cmake", "--build", "--preset", args.preset]

def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True).returncode

def failed_parts(output):
    # ctest's failed tests, QTest's failed functions and rows, and the end-to-end checks.
    parts = set(re.findall(r"^\s*\d+ - (\S+) \(", output.split("tests FAILED:")[-1], re.M))
    # A failed QTest check: the function, the row and the line of the check.
    for m in re.finditer(r"^FAIL!  : (\S+?(?:\(.*?\))?) .*?\n\s+Loc: \[.*?([^/]+\(\d+\))\]",
                         output, re.M | re.S):
        parts.add(f"  {m[1]} {m[2]}")
    parts |= {"  e2e: " + m for m in re.findall(r"^FAIL: (.*)$", output, re.M)}
    return sorted(parts)

def mounts():
    with open("/proc/self/mountinfo", "rb") as f:
        return {line.split()[4] for line in f}

def unmount_new(before):
    # A fault that breaks detaching leaves its images mounted; they must not pile up.
    for point in mounts() - before:
        if b"quorvel-volume." not in point:
            continue
        path = point
        for code, char in ((b"\\040", b" "), (b"\\011", b"\t"), (b"\\012", b"\n"), (b"\\134", b"\\")):
            path = path.replace(code, char)
        subprocess.run([b"umount", b"-l", path], capture_output=True)
        for leftover in (path + b".image", path):
            try:
                os.rmdir(leftover) if leftover == path else os.remove(leftover)
            except OSError:
                pass

if run(build) != 0:
    sys.exit("the unchanged tree does not build")
# A test that fails anyway would count every fault as caught.
for path in lists:
    tests = [] if args.full else ["-R", runpy.run_path(path)["TESTS"]]
    if run(["ctest", "--preset", args.preset, "--timeout", "300"] + tests) != 0:
        sys.exit(f"the tests of {path} fail on the unchanged tree")
results, who = [], {}
for path in lists:
    data = runpy.run_path(path)
    tests = [] if args.full else ["-R", data["TESTS"]]
    for name, file, old, new in data["FAULTS"]:
        text = open(file).read()
        if text.count(old) != 1:
            outcome = "NOMATCH"
        else:
            open(file, "w").write(text.replace(old, new))
            before = mounts()
            try:
                if run(build) != 0:
                    outcome = "NOCOMPILE"
                else:
                    test = ["ctest", "--preset", args.preset, "-j2", "--timeout", "300"] + tests
                    if args.who:
                        test.append("--output-on-failure")
                    done = subprocess.run(test, capture_output=True, text=True, errors="replace")
                    outcome = "caught" if done.returncode != 0 else "SLIPPED"
                    who[f"{os.path.basename(path)[:-3]}: {name}"] = failed_parts(done.stdout)
            finally:
                open(file, "w").write(text)
                unmount_new(before)
        area = os.path.basename(path)[:-3]
        results.append((area, name, outcome))
        print(f"{area:8} {outcome:9} {name}", flush=True)
run(build)
if args.who:
    with open(args.who, "w") as f:
        json.dump(who, f, indent=1, ensure_ascii=False)
caught = sum(1 for r in results if r[2] == "caught")
counted = sum(1 for r in results if r[2] in ("caught", "SLIPPED"))
print(f"caught {caught} of {counted} planted faults that build"
      f" ({len(results) - counted} did not build or apply)")
