# The two commands of the README, `make run` and `make test`, and `make package` (a .deb in $(BUILD)).
BUILD ?= build

.PHONY: run test package deps build clean

run: build
	./$(BUILD)/app/ordwin

test: build
	ctest --test-dir $(BUILD) --output-on-failure

package: build
	cmake --build $(BUILD) --target package

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD)

deps:
	scripts/install-deps.sh

clean:
	rm -rf $(BUILD)
