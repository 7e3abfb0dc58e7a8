# The two commands of the README: `make run` and `make test`.
BUILD ?= build

.PHONY: run test deps build clean

run: build
	./$(BUILD)/app/ordwin

test: build
	ctest --test-dir $(BUILD) --output-on-failure

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD)

deps:
	scripts/install-deps.sh

clean:
	rm -rf $(BUILD)
