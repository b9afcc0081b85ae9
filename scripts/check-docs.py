#!/usr/bin/env python3
"""Checks the README and docs/ against the tree: every relative link leads to a file or folder
that exists (and to a heading there, when it names one), and every command-line option the
documents name is one that a program of ours prints in its --help, or one of the few options of
other tools the documents use.

  scripts/check-docs.py [BUILD_DIR]    default build/native (for the relay's and klpeer's --help)

Exits 1 with one line per fault, 0 when the documents hold.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Options of other tools that the documents show in commands: cmake, ctest, GoogleTest, git,
# gpg, the linker, update-ca-certificates, dpkg-buildflags, ssh and the like.
OTHERS = {
    "--preset", "--build", "--target", "--test-dir", "--output-on-failure", "--gtest_filter",
    "--follow", "--fresh", "--build-id", "--no-insert-timestamp", "--verify", "--armor",
    "--detach-sign", "--local-user", "--import", "--recv-keys", "--fingerprint", "--get",
    "--change", "--fix", "--dynamic-base", "--high-entropy-va", "--nxcompat", "--query",
    "--status", "--version", "--user", "--pass", "--no-auth-warning", "--tls", "--cacert",
    "--cert-file", "--tls-port", "--port", "--save", "--appendonly", "--daemonize", "--bind",
    "--requirepass", "--aclfile", "--quiet", "--depth", "--no-hardlinks", "--ignore-missing",
    "--check", "--clearsign", "--batch", "--passphrase", "--pinentry-mode", "--homedir",
}


def documents():
    docs = [os.path.join(HERE, "README.md")]
    folder = os.path.join(HERE, "docs")
    if os.path.isdir(folder):
        docs += sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.endswith(".md"))
    return docs


def anchors(path):
    """GitHub's anchors for the headings of a Markdown file."""
    found = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = re.match(r"#+\s+(.*)", line)
            if m:
                text = re.sub(r"[^\w\- ]", "", m.group(1).strip().lower())
                found.add(text.replace(" ", "-"))
    return found


def help_texts(build):
    texts = []
    for command in ([os.path.join(build, "kestrelink-relay"), "--help"],
                    [os.path.join(build, "klpeer"), "--help"]):
        try:
            r = subprocess.run(command, capture_output=True, text=True, timeout=10)
            texts.append(r.stdout + r.stderr)
        except OSError as e:
            print(f"check-docs: cannot run {command[0]}: {e} (build first)", file=sys.stderr)
            sys.exit(2)
    # The scripts and benchmarks say their options in their own usage text.
    for folder in ("scripts", "bench", "tests/e2e", "tests/gui", "packaging"):
        root = os.path.join(HERE, folder)
        for dirpath, _, files in os.walk(root):
            for name in files:
                if name.endswith((".sh", ".py")):
                    with open(os.path.join(dirpath, name), encoding="utf-8", errors="replace") as f:
                        texts.append(f.read())
    return "\n".join(texts)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "build", "native")
    known = set(re.findall(r"--[a-z][a-z0-9-]*", help_texts(build))) | OTHERS
    faults = []
    for doc in documents():
        rel = os.path.relpath(doc, HERE)
        with open(doc, encoding="utf-8") as f:
            text = f.read()
        for number, line in enumerate(text.splitlines(), 1):
            for target in re.findall(r"\]\(([^)\s]+)\)", line):
                if re.match(r"[a-z][a-z0-9+.-]*:", target):
                    continue
                path, _, anchor = target.partition("#")
                full = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
                if not os.path.exists(full):
                    faults.append(f"{rel}:{number}: link to {target}: no such file")
                elif anchor and full.endswith(".md") and anchor not in anchors(full):
                    faults.append(f"{rel}:{number}: link to {target}: no such heading")
            for option in re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", line):
                if option not in known:
                    faults.append(f"{rel}:{number}: option {option} is in no --help")
    for fault in faults:
        print(fault)
    print(f"check-docs: {len(documents())} documents, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
