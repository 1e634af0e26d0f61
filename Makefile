# The project's commands. `make demo` runs the application, `make test` runs every test;
# both install what is missing first.

PYTHON3 ?= python3
BUILD ?= build
APP := $(abspath $(BUILD))/app
VENV := .venv
PY := $(VENV)/bin/python
# Debian packages: virtual screen and its driver for GUI tests, msgfmt for the catalogues,
# Mono for the simulated handset link, xwd for screenshots.
DEBS := xvfb xauth xdotool gettext mono-mcs mono-runtime mono-devel libmono-2.0-1 x11-apps
XVFB := xvfb-run -a -s "-screen 0 1280x1024x24"

.PHONY: all deps debs venv build test demo run bench clean

all: build

deps: debs venv

debs:
	@missing=""; for p in $(DEBS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if ! command -v cmake >/dev/null 2>&1; then missing="$$missing cmake"; fi; \
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
	cmake -S . -B $(BUILD) -DPython_EXECUTABLE=$(abspath $(PY)) \
		-Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	cmake --build $(BUILD) -j 2

test: build
	APP_DIR=$(APP) $(XVFB) $(PY) -m pytest -q

# The whole application against local stand-ins of the outside world; SCRIPT=1 plays a few calls.
# (tools/demo.py starts a virtual screen itself when there is no display.)
demo run: build
	APP_DIR=$(APP) $(PY) tools/demo.py $(if $(SCRIPT),--script)

bench: build
	@for b in bench/*.py; do [ -e "$$b" ] && APP_DIR=$(APP) $(XVFB) $(PY) $$b; done; true

clean:
	rm -rf $(BUILD)
