# The runner behind scripts/plant-faults.sh. A list is a Python file with
#   TESTS = "ctest regex of the tests that should catch its faults"
#   FAULTS = [("name", "path/in/repo", "text as it stands", "text with the fault"), ...]
# The text must appear exactly once in the file.
import argparse, glob, os, runpy, subprocess, sys

parser = argparse.ArgumentParser()
parser.add_argument("--preset", default="dev")
parser.add_argument("--full", action="store_true")
parser.add_argument("lists", nargs="*")
args = parser.parse_args()
lists = args.lists or sorted(glob.glob("scripts/faults/*.py"))
lists = [l for l in lists if not l.endswith("run.py")]
build = ["cmake", "--build", "--preset", args.preset]

def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True).returncode

if run(build) != 0:
    sys.exit("the unchanged tree does not build")
# A test that fails anyway would count every fault as caught.
for path in lists:
    tests = [] if args.full else ["-R", runpy.run_path(path)["TESTS"]]
    if run(["ctest", "--preset", args.preset, "--timeout", "300"] + tests) != 0:
        sys.exit(f"the tests of {path} fail on the unchanged tree")
results = []
for path in lists:
    data = runpy.run_path(path)
    tests = [] if args.full else ["-R", data["TESTS"]]
    for name, file, old, new in data["FAULTS"]:
        text = open(file).read()
        if text.count(old) != 1:
            outcome = "NOMATCH"
        else:
            open(file, "w").write(text.replace(old, new))
            try:
                if run(build) != 0:
                    outcome = "NOCOMPILE"
                else:
                    test = ["ctest", "--preset", args.preset, "-j2", "--timeout", "300"] + tests
                    outcome = "caught" if run(test) != 0 else "SLIPPED"
            finally:
                open(file, "w").write(text)
        area = os.path.basename(path)[:-3]
        results.append((area, name, outcome))
        print(f"{area:8} {outcome:9} {name}", flush=True)
run(build)
caught = sum(1 for r in results if r[2] == "caught")
counted = sum(1 for r in results if r[2] in ("caught", "SLIPPED"))
print(f"caught {caught} of {counted} planted faults that build"
      f" ({len(results) - counted} did not build or apply)")
