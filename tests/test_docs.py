"""The commands' options as a user meets them, with no display: one usage error for all four commands, the
options several share taken by each, a manual page per command made from its parser, and README.md, the
guide in docs/ and the viewer's page naming only options the parsers have."""
import os
import re
import shutil
import subprocess

import pytest

import docs
from conftest import BUILD, REPO

COMMANDS = ["quillomar-live", "quillomar-record", "quillomar-import", "quillomar-join"]
# The options each command shares with others, written once (options.py).
SHARED = {"quillomar-live": ["--media", "--fetch", "--strict-media", "-I", "--channel0", "--channel3"],
          "quillomar-record": ["--media", "--fetch", "--strict-media", "-I", "--channel0", "--channel3"],
          "quillomar-import": ["--media", "--fetch", "--strict-media"],
          "quillomar-join": []}


def command(name, *args, env=None):
    return subprocess.run([str(BUILD / name), *args], capture_output=True, text=True, timeout=60,
                          env=env or dict(os.environ, COLUMNS="100"))


@pytest.mark.parametrize("name", COMMANDS)
def test_every_command_says_a_usage_error_alike(name, tmp_path):
    done = command(name, "--no-such-option", "a.glsl", "b.mp4")
    assert (done.returncode, done.stdout) == (2, "")
    assert re.fullmatch(r"%s: unrecognized arguments: --no-such-option( \S+)* \(see --help\)\n" % name,
                        done.stderr), done.stderr


@pytest.mark.parametrize("name", ["quillomar-live", "quillomar-record"])
def test_a_channel_beyond_the_last_is_one_usage_error_in_both_commands_that_take_channels(name):
    done = command(name, "a.glsl", "--channel4", "x.png", "b.mp4")
    assert (done.returncode, done.stdout, done.stderr) == (
        2, "", "%s: there is no channel 4: the channels are 0 to 3 (see --help)\n" % name)


@pytest.mark.parametrize("name", COMMANDS)
def test_each_command_takes_the_options_it_shares_and_its_page_lists_them(name):
    helped = command(name, "--help")
    assert helped.returncode == 0
    listed = set(re.findall(r"^  (-[-\w]+)", helped.stdout, re.M))
    assert set(SHARED[name]) <= listed, helped.stdout
    others = set().union(*(SHARED[n] for n in COMMANDS)) - set(SHARED[name]) - {"--channel1", "--channel2"}
    assert not others & listed, helped.stdout
    def page(width):
        return subprocess.run(["man", "--warnings", "-l", str(BUILD / "man" / (name + ".1"))], capture_output=True,
                              text=True, timeout=30, env=dict(os.environ, MANWIDTH=width, LC_ALL="C.UTF-8"))

    narrow = page("80")  # as lintian reads it: no warning from groff
    assert (narrow.returncode, narrow.stderr) == (0, "")
    page = page("1000")
    words = " ".join(page.stdout.split())
    assert ("NAME %s - " % name) in words and "SYNOPSIS %s [-h]" % name in words
    options = page.stdout.partition("\nOPTIONS\n")[2].partition("\nEXAMPLES\n")[0]
    assert listed == set(re.findall(r"^       (-[-\w]+)", options, re.M)) | {"-h"}


def test_the_documents_name_only_options_the_parsers_have():
    assert docs.problems(REPO, BUILD / "man") == []


def copy_of_documents(tmp_path):
    for name in ("README.md", "docs", "man"):
        (shutil.copytree if (REPO / name).is_dir() else shutil.copy)(REPO / name, tmp_path / name)
    shutil.copytree(BUILD / "man", tmp_path / "pages")
    return tmp_path


def test_an_option_no_command_has_named_in_the_guide_fails_the_check(tmp_path):
    root = copy_of_documents(tmp_path)
    guide = root / "docs" / "live.md"
    lines = guide.read_text().split("\n")
    lines.insert(4, "`quillomar-live --bogus-option` shows nothing.")
    guide.write_text("\n".join(lines))
    viewer = root / "man" / "quillomar.1"
    viewer.write_text(viewer.read_text() + ".B \\-\\-no\\-such\\-thing\n")
    assert docs.problems(root, root / "pages") == [
        "man/quillomar.1:%d: --no-such-thing is no option of any command" % viewer.read_text().count("\n"),
        "docs/live.md:5: --bogus-option is no option of any command"]


def test_a_usage_block_that_is_not_the_parsers_fails_the_check(tmp_path):
    root = copy_of_documents(tmp_path)
    guide = root / "docs" / "live.md"
    text = guide.read_text()
    assert text.count(" [--echo]") == 1
    guide.write_text(text.replace(" [--echo]", ""))
    found = docs.problems(root, root / "pages")
    assert len(found) == 2 and "the usage of quillomar-live is not what its parser prints" in found[0]
    assert found[1].startswith("no document shows the usage of quillomar-live as its parser prints it")


def test_a_page_that_lacks_an_option_of_its_parser_fails_the_check(tmp_path):
    root = copy_of_documents(tmp_path)
    page = root / "pages" / "quillomar-import.1"
    text = page.read_text()
    entry = "\n.TP\n\\fB\\-\\-force\\fR\nreplace files there that differ\n"
    assert text.count(entry) == 1
    page.write_text(text.replace(entry, "\n"))
    assert docs.problems(root, root / "pages") == ["quillomar-import.1 has no entry for --force"]
