"""Running the built programs as a clean machine would: a private copy of a bin folder, and an
environment without the simulated LED's test switches."""
import os
import shutil


def program(folder, name):
    """The path of a program in a bin folder, Windows' or this system's."""
    for candidate in (name + ".exe", name):
        if os.path.isfile(os.path.join(folder, candidate)):
            return os.path.join(folder, candidate)
    raise FileNotFoundError(f"no {name} in {folder}")


def copy_bin(source, destination):
    """Copies a build's bin folder, leaving its simulated LED's state behind; returns the copy.
    Its files are hard links where the file system allows (a sanitizer's bin folder is a hundred
    megabytes, staged for each case): a test that changes a file of the copy replaces it instead."""
    return shutil.copytree(source, destination, ignore=shutil.ignore_patterns("led_sim_state.*"),
                           copy_function=_link_or_copy)


def _link_or_copy(source, destination):
    try:
        os.link(source, destination)
    except OSError:
        shutil.copy2(source, destination)


def clean_environment(**settings):
    """This process's environment without any LED_SIM_ variable, plus the given settings."""
    environment = {k: v for k, v in os.environ.items() if not k.startswith("LED_SIM_")}
    environment.update(settings)
    return environment
