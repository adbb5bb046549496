"""What a script leaves behind with the package's defaults: nothing in its working directory.
The README's example runs in a fresh process, in an empty directory, against the same virtual
camera; the calibration it needs lands in the user's cache, per camera."""
import os
import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def readme_example() -> str:
    text = README.read_text()
    python_part = text[text.index("\n## Python\n"):]
    return re.search(r"```python\n(.*?)```", python_part, re.S).group(1)


def test_readme_example_leaves_its_directory_empty(tmp_path):
    work = tmp_path / "work"
    cache = tmp_path / "cache"
    work.mkdir()
    env = dict(os.environ, XDG_CACHE_HOME=str(cache))
    env.pop("LUMOX_LOG", None)
    for _ in range(2):  # the second run finds the calibration in the cache
        run = subprocess.run([sys.executable, "-c", readme_example()], cwd=work, env=env,
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        assert run.stdout.count("valid, mean") == 10, run.stdout
        assert list(work.iterdir()) == []
    (serial_dir,) = (cache / "lumox").iterdir()
    assert sorted(p.suffix for p in serial_dir.iterdir()) == [".bin", ".bin"]
