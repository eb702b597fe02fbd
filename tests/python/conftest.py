import os
import subprocess

import pytest


@pytest.fixture(scope="session")
def log_dir(tmp_path_factory):
    """The folder of the process's engine log (the first recorder opens it)."""
    return str(tmp_path_factory.mktemp("plenova_log"))


def tool_env():
    """The environment for ffmpeg and ffprobe: without a preloaded sanitizer
    runtime, which is for the engine only."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def run_tool(*args, binary=False):
    result = subprocess.run(list(args), check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=tool_env())
    return result.stdout if binary else result.stdout.decode()
