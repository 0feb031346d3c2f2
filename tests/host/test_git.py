import os
import subprocess

import pytest

from nefa.git import find_commit_sha

SHA_A = "a" * 40
SHA_B = "0123456789abcdef0123456789abcdef01234567"


def make_repo(root, head, refs=None, packed=None):
    git = root / ".git"
    git.mkdir(parents=True)
    (git / "HEAD").write_text(head + "\n")
    for name, sha in (refs or {}).items():
        (git / name).parent.mkdir(parents=True, exist_ok=True)
        (git / name).write_text(sha + "\n")
    if packed is not None:
        (git / "packed-refs").write_text(packed)
    return git


@pytest.mark.parametrize(
    "head, refs, packed, expected",
    [
        ("ref: refs/heads/main", {"refs/heads/main": SHA_A}, None, SHA_A),
        (
            "ref: refs/heads/feat/x",
            {},
            f"# pack-refs with: peeled\n{SHA_A} refs/heads/main\n{SHA_B} refs/heads/feat/x\n^{SHA_A}\n",
            SHA_B,
        ),
        ("ref: refs/heads/main", {"refs/heads/main": SHA_B}, f"{SHA_A} refs/heads/main\n", SHA_B),  # loose wins
        (SHA_B, {}, None, SHA_B),  # detached
        ("ref: refs/heads/alias", {"refs/heads/alias": "ref: refs/heads/real", "refs/heads/real": SHA_A}, None, SHA_A),
        ("ref: refs/heads/main", {}, None, None),  # no commit yet
        ("ref: refs/heads/a", {"refs/heads/a": "ref: refs/heads/a"}, None, None),  # loop
        ("garbage", {}, None, None),
    ],
    ids=["loose", "packed", "loose-over-packed", "detached", "symref", "unborn", "loop", "garbage"],
)
def test_head_resolution(tmp_path, head, refs, packed, expected):
    make_repo(tmp_path, head, refs, packed)
    (tmp_path / "src" / "pkg").mkdir(parents=True)
    assert find_commit_sha(tmp_path) == expected
    assert find_commit_sha(tmp_path / "src" / "pkg") == expected


def test_outside_any_repository(tmp_path):
    if any((p / ".git").exists() for p in (tmp_path, *tmp_path.parents)):
        pytest.skip("the temporary directory is inside a git repository")
    assert find_commit_sha(tmp_path) is None
    assert find_commit_sha(tmp_path / "does" / "not" / "exist") is None


def test_worktree_and_submodule_git_files(tmp_path):
    main_git = make_repo(tmp_path / "main", "ref: refs/heads/main", {"refs/heads/main": SHA_A, "refs/heads/wt": SHA_B})
    worktree_git = main_git / "worktrees" / "wt"
    worktree_git.mkdir(parents=True)
    (worktree_git / "HEAD").write_text("ref: refs/heads/wt\n")
    (worktree_git / "commondir").write_text("../..\n")
    checkout = tmp_path / "checkout"
    checkout.mkdir()
    (checkout / ".git").write_text(f"gitdir: {worktree_git}\n")
    assert find_commit_sha(checkout) == SHA_B

    sub = tmp_path / "main" / "sub"
    sub.mkdir()
    module_git = make_repo(main_git / "modules" / "sub", SHA_A)
    (sub / ".git").write_text(f"gitdir: {os.path.relpath(module_git, sub)}\n")  # relative, as git writes it
    assert find_commit_sha(sub) == SHA_A


def test_agrees_with_git_itself(tmp_path):
    def git(*args):
        return subprocess.run(
            ["git", "-c", "user.name=t", "-c", "user.email=t@t", *args],
            cwd=tmp_path,
            check=True,
            capture_output=True,
            text=True,
        ).stdout.strip()

    try:
        git("init", "-q")
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("git is not available")
    git("commit", "-q", "--allow-empty", "-m", "one")
    git("pack-refs", "--all")
    git("commit", "-q", "--allow-empty", "-m", "two")
    assert find_commit_sha(tmp_path) == git("rev-parse", "HEAD")
    git("checkout", "-q", "--detach", "HEAD~1")
    assert find_commit_sha(tmp_path) == git("rev-parse", "HEAD")
