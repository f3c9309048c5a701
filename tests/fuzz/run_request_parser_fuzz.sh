#!/usr/bin/env bash
# Builds the request parser fuzz target with clang's libFuzzer and runs it for a while.
# Usage: tests/fuzz/run_request_parser_fuzz.sh [seconds, default 60]
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build/fuzz
mkdir -p "$out/corpus"
printf 'GET /frame.jpg?&picid=pw HTTP/1.0\r\nHost: a\r\n\r\n' > "$out/corpus/get"
printf 'POST /cgi/x.exe HTTP/1.0\r\nContent-Length: 4\r\n\r\nbody' > "$out/corpus/post"
printf 'Sun, 06 Nov 1994 08:49:37 GMT' > "$out/corpus/date"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -Isrc \
  tests/fuzz/RequestParserFuzz.cpp src/server/RequestParser.cpp src/server/HttpSyntax.cpp \
  src/server/UrlMapping.cpp src/server/Escaping.cpp src/server/ScriptEnvironment.cpp src/server/Request.cpp \
  src/model/HostChecks.cpp \
  -o "$out/request_parser_fuzz"
"$out/request_parser_fuzz" -max_total_time="${1:-60}" -max_len=4096 "$out/corpus"
