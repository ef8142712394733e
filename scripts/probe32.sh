#!/bin/bash
# Exits 0 when this machine executes 32-bit x86 code, 1 when it does not: a
# tiny 32-bit Linux program, made with binutils alone, is run and must exit 42.
# Sourced or run; prints nothing.
set -u
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '%s\n' '.globl _start' '_start:' '  movl $1, %eax' '  movl $42, %ebx' '  int $0x80' > "$dir/p.s"
as --32 -o "$dir/p.o" "$dir/p.s" 2>/dev/null && ld -m elf_i386 -o "$dir/p" "$dir/p.o" 2>/dev/null || exit 1
"$dir/p" 2>/dev/null
[ $? -eq 42 ]
