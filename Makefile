# make test   install what is missing, build every preset, run all tests
# make demo   build and run the demo under Wine
# make serve  run the stand-in host on 127.0.0.1:$(NELTO_PORT)
SHELL := /bin/bash
NELTO_PORT ?= 18960
export NELTO_PORT

.PHONY: setup native native-asan windows build test demo serve clean

setup:
	@tools/setup

native: setup
	@cmake --preset native >/dev/null
	@cmake --build --preset native

native-asan: setup
	@cmake --preset native-asan >/dev/null
	@cmake --build --preset native-asan

windows: setup
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows

build: native native-asan windows

test: build
	@tools/run-tests

demo: windows
	@tools/demo/run

serve: windows
	@tools/serve

clean:
	@tools/wine-run --down 2>/dev/null || true
	rm -rf build
