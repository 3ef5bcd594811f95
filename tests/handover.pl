#!/usr/bin/perl
# Clients one after the other, as many as asked, each polling once on
# 127.0.0.1:8792 and leaving. Measures the hand-over: from one client's
# leaving to the next one's record. Prints the median and the worst, and
# how many clients were refused, reset (no whole record) or sent a record
# that is not a number's text followed by zero bytes.
# Usage: handover.pl COUNT
use strict;
use warnings;
use Socket;
use Time::HiRes qw(time);

my ($count) = @ARGV;
my ($refused, $reset, $wrong) = (0, 0, 0);
my (@ms, $left);
for (1 .. $count) {
  socket(my $s, PF_INET, SOCK_STREAM, 0) or die "socket: $!";
  if (!connect($s, pack_sockaddr_in(8792, inet_aton("127.0.0.1")))) {
    $refused++;
    next;
  }
  send($s, "x", 0);
  my $record = '';
  while (length($record) < 1024) {
    my $got = sysread($s, my $chunk, 1024 - length($record));
    last unless $got;
    $record .= $chunk;
  }
  my $served = time;
  if (length($record) != 1024) {
    $reset++;
  } else {
    $wrong++ unless $record =~ /^-?[0-9]+\0+$/;
    push @ms, ($served - $left) * 1000 if defined $left;
  }
  close($s);
  $left = time;
}
my @sorted = sort { $a <=> $b } @ms;
printf "clients=%d median_ms=%.1f worst_ms=%.1f refused=%d reset=%d wrong=%d\n",
  $count, @sorted ? $sorted[int(@sorted / 2)] : -1, @sorted ? $sorted[-1] : -1,
  $refused, $reset, $wrong;
