# The project's commands on Linux. `make demo` runs the application, `make test` runs every test,
# `make bundle` makes the one-file executable; they install what is missing first. The README
# gives the same steps for Windows without make.

# The compiler's progress is enough: no "Entering/Leaving directory" lines from the nested makes
# (MAKEFLAGS reaches the makefiles CMake generates through the environment).
MAKEFLAGS += --no-print-directory

PYTHON3 ?= python3
BUILD ?= build
APP := $(abspath $(BUILD))/app
VENV := .venv
PY := $(VENV)/bin/python
# CMake comes from PyPI (requirements-dev.txt), the same version on every system.
CMAKE := $(VENV)/bin/cmake
# Debian packages, for the tests and the demo only (the build needs none of them): virtual screen
# and its driver, Mono for the simulated handset link, xwd for screenshots, gettext's xgettext for
# the catalogue check and msgfmt to cross-check the catalogue sources, gio to start the autostart
# entry as a session would, trayer as a notification area on the virtual screen and xwininfo to
# see what docked in it, openbox as a window manager for the tests of windows kept on top.
DEBS := xvfb xauth xdotool gettext mono-mcs mono-runtime mono-devel libmono-2.0-1 x11-apps x11-utils libglib2.0-bin \
	trayer openbox
XVFB := xvfb-run -a -s "-screen 0 1280x1024x24"
# The one-file bundle: DIST/callcompanion. BUNDLE_DLLS names extra files for its dll/ (the tests'
# handset stand-in); the vendor's component is bundled from $(APP)/dll.
DIST ?= dist
BUNDLE_DLLS ?=
# The folder whose config.ini the autostarted application uses.
WORKDIR ?= $(HOME)

.PHONY: all deps debs venv build test windows-check demo run bench bundle autostart format clean

all: build

deps: debs venv

debs:
	@if ! command -v apt-get >/dev/null 2>&1; then \
		echo "no apt-get: install these yourself for the tests and the demo: $(DEBS)"; exit 0; fi; \
	missing=""; for p in $(DEBS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
		echo "installing:$$missing"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

venv: $(VENV)/.installed

$(VENV)/.installed: requirements.txt requirements-dev.txt
	@test -x $(PY) || $(PYTHON3) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	@touch $@

build: deps
	$(CMAKE) -S . -B $(BUILD) -DPython_EXECUTABLE=$(abspath $(PY)) -DWARNINGS_AS_ERRORS=ON \
		-Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	$(CMAKE) --build $(BUILD) -j 2

test: build
	APP_DIR=$(APP) $(XVFB) $(PY) -m pytest -q

# The Windows gate: cross-builds the modules for CPython 3.11 x64 with mingw-w64 and checks what each
# .pyd exports and imports (the README says what that proves). CPython's Windows headers are
# fetched once into WINDOWS_CACHE.
WINDOWS_DEBS := g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
WINDOWS_CACHE ?= $(or $(XDG_CACHE_HOME),$(HOME)/.cache)/callcompanion

windows-check: venv
	@$(MAKE) --no-print-directory debs DEBS="$(WINDOWS_DEBS)"
	$(PY) tools/windows_check.py --build $(BUILD)/windows --cache $(WINDOWS_CACHE)

# The whole application against local stand-ins of the outside world; SCRIPT=1 plays a few calls,
# API=v2 gives it a v2 token. (tools/demo.py starts a virtual screen itself when there is no display.)
demo run: build
	APP_DIR=$(APP) $(PY) tools/demo.py $(if $(SCRIPT),--script) $(if $(API),--api $(API))

bench: build
	@for b in bench/*.py; do [ -e "$$b" ] && APP_DIR=$(APP) $(XVFB) $(PY) $$b; done; true

bundle: build
	APP_DIR=$(APP) BUNDLE_DLLS="$(BUNDLE_DLLS)" $(PY) -m PyInstaller --noconfirm --log-level WARN \
		--distpath $(DIST) --workpath $(BUILD)/bundle callcompanion.spec
	@echo "bundle: $(DIST)/callcompanion"

# Starts the bundle with the desktop session, in WORKDIR (make autostart WORKDIR=~/office).
autostart:
	$(PYTHON3) tools/autostart.py "$(DIST)/callcompanion" "$(WORKDIR)"

# Lays the C++ sources out as .clang-format says (a test checks that they are).
format: venv
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp' | grep -v embedded_images)

clean:
	rm -rf $(BUILD) $(DIST)
