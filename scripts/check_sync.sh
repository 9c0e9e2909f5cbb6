#!/usr/bin/env bash
# Fails, naming file and line, when the sources use a waiting primitive of
# the standard library that is not safe on the Windows build: std::latch,
# std::barrier, std::counting_semaphore, std::binary_semaphore and the
# waiting of std::atomic (wait, notify_one, notify_all). GCC 12's libstdc++
# builds them on a shared waiter table that can lose a wake-up where there is
# no futex, and a thread then waits for ever. Threaded tests use
# tests/test_latch.h; the library uses its platform layer's events.
#   scripts/check_sync.sh [folder...]    (default: the whole tree)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -eq 0 ]; then
  set -- .
fi
mapfile -d '' files < <(find "$@" \( -name .git -o -path ./build -o -name 'build-*' \) -prune -o \
  -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.cxx' -o -name '*.h' -o -name '*.hh' \
  -o -name '*.hpp' -o -name '*.hxx' -o -name '*.inl' -o -name '*.ipp' -o -name '*.tcc' \) -print0 | sort -z)
[ ${#files[@]} -eq 0 ] && exit 0

exec perl -e '
use strict;
use warnings;

# The text of a file without comments, string and character literals (each
# replaced by blanks, newlines kept, so that line numbers stay right).
sub code_of {
  my ($file) = @_;
  open(my $in, "<", $file) or die "check_sync: $file: $!\n";
  local $/;
  my $text = <$in>;
  close($in);
  $text =~ s{(//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|(?<![\w])\x27(?:\\.|[^\x27\\\n])*\x27)}
            { (my $blank = $1) =~ s/[^\n]/ /g; $blank }gse;
  return $text;
}

my $atomic_type = qr{\b(?:std\s*::\s*)?(?:atomic(?:_ref)?\s*<[^;{}()]*?>|atomic_flag|atomic_(?:bool|char|schar|uchar|short|ushort|int|uint|long|ulong|llong|ullong|char8_t|char16_t|char32_t|wchar_t|u?int(?:_least|_fast)?\d+_t|u?intptr_t|size_t|ptrdiff_t|u?intmax_t|signed_lock_free|unsigned_lock_free))};

my %code;
my %atomics;
for my $file (@ARGV) {
  my $text = code_of($file);
  $code{$file} = $text;
  # Names declared with an atomic type, with the further names of the same
  # declaration (std::atomic<bool> a{false}, b{false};).
  while ($text =~ /$atomic_type\s*(?:const\s*)?[&*]?\s*(\w+)/g) {
    $atomics{$1} = 1;
    while ($text =~ /\G\s*(?:\{[^{}]*\}|\([^()]*\)|=[^,;(){}]*)?\s*,\s*[&*]?\s*(\w+)/gc) {
      $atomics{$1} = 1;
    }
  }
}
delete $atomics{$_} for qw(std const int);

my @rules = (
  [qr{\bstd\s*::\s*(?:latch|barrier|counting_semaphore|binary_semaphore)\b}, "std::latch, std::barrier or a std semaphore"],
  [qr{#\s*include\s*<(?:latch|barrier|semaphore)>}, "a header of std::latch, std::barrier or the std semaphores"],
  [qr{\b(?:std\s*::\s*)?atomic_(?:flag_)?(?:wait|notify_one|notify_all)(?:_explicit)?\s*\(}, "waiting on an atomic"],
);
my $names = join("|", map { quotemeta } sort keys %atomics);
push @rules, [qr{\b(?:$names)\s*(?:\.|->)\s*(?:wait|notify_one|notify_all)\s*\(}, "waiting on an atomic"] if $names;

my $found = 0;
for my $file (@ARGV) {
  my $text = $code{$file};
  (my $shown = $file) =~ s{^\./}{};
  my @hits;
  for my $rule (@rules) {
    my ($pattern, $what) = @$rule;
    while ($text =~ /$pattern/g) {
      push @hits, [1 + (substr($text, 0, $-[0]) =~ tr/\n//), $what];
    }
  }
  for my $hit (sort { $a->[0] <=> $b->[0] } @hits) {
    print STDERR "$shown:$hit->[0]: $hit->[1]: not safe on the Windows build (use tests/test_latch.h)\n";
    $found = 1;
  }
}
exit $found;
' "${files[@]}"
