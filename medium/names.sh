# The installation medium's names, once for every tool and script here:
# sourced by the shell scripts, read by the Python tools through
# release/nerim_release/names.py (so: one NAME='value' a line, nothing else).
# setup.exe keeps its own, in its C++; tests/native/medium_names_test.cpp
# holds the two together.
MAIN_PACKAGE='NerimInstaller.msi_'
SCRIPTING_ENGINE='ISScript10.Msi'
LICENCE_MANAGER_PREFIX='SentinelRMSLicenseManager'
DRIVER_INSTALLER='SentinelSystemDriverInstaller7.5.8.exe'
LICENCE_MARKER='optLS'
DRIVER_MARKER='optDD'
PRODUCT_FOLDER='Brenk\Installers\Nerim'
