"""The module under interpreters other than the one it is built for: venvs with and without the system's packages."""
import os
import subprocess
import sys

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python", "pose.py")


def venv(path, *options):
    """A venv on the interpreter running the tests (the one the module is built for), without pip."""
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", *options, str(path)], check=True)
    return str(path / "bin" / "python3")


def test_a_venv_without_the_system_packages_fails_at_import_in_one_line_naming_both_interpreters(tmp_path):
    python = venv(tmp_path / "bare")
    run = subprocess.run([python, "-c", "import zoravovar"], capture_output=True, text=True)
    assert run.returncode == 1
    last = run.stderr.strip().splitlines()[-1]
    assert last == (f"ImportError: zoravovar is built for {sys.executable} (Python {sys.version_info[0]}."
                    f"{sys.version_info[1]} with numpy {__import__('numpy').__version__}); this is {python} "
                    f"(Python {sys.version_info[0]}.{sys.version_info[1]} without numpy): run it with "
                    f"{sys.executable}, or in a venv made by {sys.executable} -m venv --system-site-packages"), last


def test_a_venv_with_the_system_packages_runs_the_example(tmp_path, simulator):
    python = venv(tmp_path / "analysis", "--system-site-packages")
    sim = simulator("--static")
    run = subprocess.run([python, EXAMPLE, str(sim.tracker), str(sim.controller)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "sensor 0: position" in run.stdout
