#!/usr/bin/perl
# A BLAST URL API client in Perl with LWP, as NCBI documents the protocol: submit with a form
# POST, read RID and RTOE from the QBlastInfo block, wait RTOE, poll SearchInfo, fetch the report.
#
#   blast_lwp.pl search --url URL --program P --database D --query Q --out FILE [options]
#   blast_lwp.pl search --url URL --rid RID --out FILE [options]   (poll and fetch a held search)
#   blast_lwp.pl delete --url URL --rid RID
#   blast_lwp.pl rids --url URL --out FILE                          (CMD=DisplayRIDs)
#
# Submission: --put-format F, --hitlist-size N, --descriptions N, --alignments N, --ncbi-gi T|F,
# --threshold N, --megablast (MEGABLAST=on), --put NAME=VALUE (any other field).
# Results: --format F (FORMAT_TYPE; none sent without it), --alignment-object
# (FORMAT_OBJECT=Alignment), --results-file (RESULTS_FILE=on), --get NAME=VALUE, --delete
# (drop the search once fetched).
# Manners: --tool T, --email E; --scale F multiplies NCBI's pauses (10 s between requests,
# 60 s between status requests of one RID) so that a test need not wait minutes.
# Bounds: --timeout S (one request), --deadline S (the whole search), --max-bytes N (an answer).
#
# Standard output: RID=, RTOE=, Status=, ThereAreHits=, Content-Type=, Deleted= lines. Errors go
# to standard error with the server's text escaped; the status is 1 for a failed, unknown or
# refused search or an HTTP error, 2 for a malformed command line.
use strict;
use warnings;
use Getopt::Long qw(GetOptionsFromArray);
use HTTP::Request::Common qw(POST GET);
use LWP::UserAgent;
use Time::HiRes qw(time sleep);
use URI;

my $MIN_INTERVAL = 10;   # NCBI: at most one request every 10 seconds
my $POLL_INTERVAL = 60;  # NCBI: at most one status request a minute for one RID

sub shown {
    # The server's text as one line of printable ASCII, cut short.
    my ($text) = @_;
    $text = '' unless defined $text;
    $text = substr($text, 0, 300) . '...' if length($text) > 300;
    $text =~ s/([^\x20-\x7e])/sprintf('\\x%02x', ord($1))/ge;
    return $text;
}

sub fail {
    my ($status, $message) = @_;
    print STDERR "blast_lwp: $message\n";
    exit $status;
}

my %o = (scale => 1, timeout => 60, deadline => 600, 'max-bytes' => 64 * 1024 * 1024,
         tool => 'blast_lwp', email => 'blast_lwp@localhost', put => [], get => []);
my $action = shift @ARGV // '';
fail(2, "usage: blast_lwp.pl search|delete|rids --url URL ...") unless $action =~ /^(search|delete|rids)$/;
GetOptionsFromArray(\@ARGV, \%o, 'url=s', 'program=s', 'database=s', 'query=s', 'out=s', 'rid=s',
                    'put-format=s', 'format=s', 'hitlist-size=s', 'descriptions=s', 'alignments=s',
                    'ncbi-gi=s', 'threshold=s', 'megablast', 'put=s@', 'get=s@', 'alignment-object',
                    'results-file', 'delete', 'tool=s', 'email=s', 'scale=f', 'timeout=f', 'deadline=f',
                    'max-bytes=i')
    or fail(2, "malformed command line");
fail(2, "stray arguments: " . shown("@ARGV")) if @ARGV;
fail(2, "--url is required") unless $o{url};
fail(2, "--out is required") unless $o{out} || $action eq 'delete';
fail(2, "--url must be http:// or https://, not " . shown($o{url})) unless $o{url} =~ m{^https?://}i;
fail(2, "--rid must be letters and digits, not " . shown($o{rid})) if defined $o{rid} && $o{rid} !~ /^[A-Za-z0-9]{1,64}$/;
for my $limit (qw(scale timeout deadline max-bytes)) {
    fail(2, "--$limit must be a number above 0") unless $o{$limit} > 0 || ($limit eq 'scale' && $o{$limit} == 0);
}

my $ua = LWP::UserAgent->new(agent => "$o{tool}/1.0", timeout => $o{timeout}, max_size => $o{'max-bytes'},
                             max_redirect => 0, protocols_allowed => ['http', 'https']);
my $deadline = time + $o{deadline};
my $last_request = 0;   # when the previous answer ended
my $last_poll = 0;

sub pause_until {
    my ($when, $what) = @_;
    my $wait = $when - time;
    fail(1, "the search's deadline of $o{deadline} s passed while waiting for $what") if $when > $deadline;
    sleep($wait) if $wait > 0;
}

sub fields_of {
    my ($extra) = @_;
    my @pairs;
    for my $pair (@$extra) {
        fail(2, "expected NAME=VALUE, received " . shown($pair)) unless $pair =~ /^([A-Za-z_][A-Za-z0-9_]*)=(.*)$/s;
        push @pairs, $1, $2;
    }
    return @pairs;
}

# One request, paced after the previous one and bounded in time and size: (status, content type, body).
sub call {
    my ($method, @fields) = @_;
    pause_until($last_request + $MIN_INTERVAL * $o{scale}, 'the pause between requests') if $last_request;
    push @fields, tool => $o{tool}, email => $o{email};
    my $request;
    if ($method eq 'POST') {
        $request = POST($o{url}, \@fields);
    } else {
        my $uri = URI->new($o{url});
        $uri->query_form(@fields);
        $request = GET($uri);
    }
    my $limit = $o{timeout} < $deadline - time ? $o{timeout} : $deadline - time;
    fail(1, "the search's deadline of $o{deadline} s passed") if $limit <= 0;
    my $response = eval {
        local $SIG{ALRM} = sub { die "timed out\n" };
        alarm(int($limit) + 1);
        my $answer = $ua->request($request);
        alarm(0);
        $answer;
    };
    alarm(0);
    $last_request = time;
    fail(1, "no answer from $o{url} within $limit s") unless $response;
    my $aborted = $response->header('Client-Aborted') // '';
    my $warning = $response->header('X-Died') // '';
    fail(1, "the answer from $o{url} exceeds $o{'max-bytes'} bytes") if $aborted =~ /^max/;
    fail(1, "the answer from $o{url} broke off: " . shown($warning)) if $warning;
    # LWP reports a transport failure (refused, timed out) as a response of its own making.
    if (($response->header('Client-Warning') // '') eq 'Internal response') {
        my $cause = $response->message // '';
        fail(1, ($cause =~ /timeout/i ? "no answer from $o{url} within $limit s" : "no answer from $o{url}")
                . ": " . shown($cause));
    }
    my $body = $response->decoded_content(charset => 'none') // $response->content;
    my $type = $response->header('Content-Type') // '';
    if (!$response->is_success) {
        my $text = error_text($body);
        fail(1, "HTTP " . $response->code . " from $o{url}" . ($text ? ": " . shown($text) : ""));
    }
    return ($response->code, $type, $body);
}

sub error_text {
    # The text of the page's element of class "error", as NCBI marks a refusal.
    my ($page) = @_;
    return '' unless $page =~ m{<(\w+)[^>]*class="[^"]*\berror\b[^"]*"[^>]*>(.*?)</\1>}is;
    my $text = $2;
    $text =~ s/<[^>]*>/ /g;
    $text =~ s/&lt;/</g; $text =~ s/&gt;/>/g; $text =~ s/&quot;/"/g; $text =~ s/&#39;/'/g; $text =~ s/&amp;/&/g;
    $text =~ s/\s+/ /g;
    $text =~ s/^ | $//g;
    return $text;
}

sub info {
    # A key of the page's QBlastInfo blocks, or undef.
    my ($page, $key) = @_;
    return $page =~ /^\s*\Q$key\E\s*=\s*(\S*)\s*$/m ? $1 : undef;
}

sub save {
    my ($body) = @_;
    open(my $stream, '>:raw', $o{out}) or fail(1, "cannot write $o{out}: $!");
    print $stream $body or fail(1, "cannot write $o{out}: $!");
    close($stream) or fail(1, "cannot write $o{out}: $!");
}

sub submit {
    for my $required (qw(program database query)) {
        fail(2, "--$required is required to submit") unless defined $o{$required};
    }
    my @fields = (CMD => 'Put', PROGRAM => $o{program}, DATABASE => $o{database}, QUERY => $o{query});
    my %named = ('put-format' => 'FORMAT_TYPE', 'hitlist-size' => 'HITLIST_SIZE', 'descriptions' => 'DESCRIPTIONS',
                 'alignments' => 'ALIGNMENTS', 'ncbi-gi' => 'NCBI_GI', 'threshold' => 'THRESHOLD');
    for my $option (sort keys %named) {
        push @fields, $named{$option}, $o{$option} if defined $o{$option};
    }
    push @fields, MEGABLAST => 'on' if $o{megablast};
    push @fields, fields_of($o{put});
    my (undef, undef, $page) = call('POST', @fields);
    # NCBI's own example reads these two lines exactly so.
    my ($rid) = $page =~ /^    RID = (.*)$/m;
    my ($rtoe) = $page =~ /^    RTOE = (.*)$/m;
    unless (defined $rid) {
        my $text = error_text($page);
        fail(1, "the submission was refused: " . ($text ? shown($text) : "the page holds no RID"));
    }
    fail(1, "the server answered a malformed RID " . shown($rid)) unless $rid =~ /^[A-Za-z0-9]{1,64}$/;
    fail(1, "the server answered a malformed RTOE " . shown($rtoe)) unless defined $rtoe && $rtoe =~ /^[0-9]{1,9}$/;
    print "RID=$rid\nRTOE=$rtoe\n";
    $last_poll = time + $rtoe - $POLL_INTERVAL * $o{scale};  # the first poll once RTOE has passed
    pause_until(time + $rtoe, "the estimated time of the search");
    return $rid;
}

sub poll {
    my ($rid) = @_;
    while (1) {
        pause_until($last_poll + $POLL_INTERVAL * $o{scale}, "search $rid") if $last_poll;
        my (undef, undef, $page) = call('GET', CMD => 'Get', FORMAT_OBJECT => 'SearchInfo', RID => $rid);
        $last_poll = time;
        my $status = info($page, 'Status') // '';
        fail(1, "the status page of $rid holds no Status: " . shown($page)) unless $status =~ /^(WAITING|FAILED|UNKNOWN|READY)$/;
        next if $status eq 'WAITING';
        print "Status=$status\n";
        if ($status eq 'READY') {
            my $hits = info($page, 'ThereAreHits') // 'no';
            print "ThereAreHits=" . shown($hits) . "\n";
            return;
        }
        my $text = error_text($page);
        fail(1, "search $rid " . ($status eq 'FAILED' ? "failed" : "is unknown (expired or deleted)")
                . ($text ? ": " . shown($text) : ""));
    }
}

sub fetch {
    my ($rid) = @_;
    my @fields = (CMD => 'Get', RID => $rid);
    push @fields, FORMAT_TYPE => $o{format} if defined $o{format};
    push @fields, FORMAT_OBJECT => 'Alignment' if $o{'alignment-object'};
    push @fields, RESULTS_FILE => 'on' if $o{'results-file'};
    push @fields, fields_of($o{get});
    while (1) {
        my (undef, $type, $body) = call('GET', @fields);
        if ($type =~ m{^text/html}i && $body =~ /QBlastInfoBegin/) {
            # A results request for a running search answers the status page; the HTML report
            # itself carries Status=READY.
            my $status = info($body, 'Status') // '';
            if ($status eq 'WAITING') {
                $last_poll = time;
                pause_until($last_poll + $POLL_INTERVAL * $o{scale}, "search $rid");
                next;
            }
            my $text = error_text($body);
            fail(1, "the results of $rid are not there (Status=" . shown($status) . ")" . ($text ? ": " . shown($text) : ""))
                unless $status eq 'READY' && !$text;
        }
        if ($type =~ m{^text/html}i && (my $text = error_text($body))) {
            fail(1, "the results request for $rid was refused: " . shown($text));
        }
        save($body);
        print "Content-Type=" . shown($type) . "\n";
        return;
    }
}

sub drop {
    my ($rid) = @_;
    my (undef, undef, $page) = call('GET', CMD => 'Delete', RID => $rid);
    my $text = error_text($page);
    fail(1, "deleting $rid was refused: " . shown($text)) if $text;
    print "Deleted=$rid\n";
}

if ($action eq 'rids') {
    my (undef, $type, $body) = call('GET', CMD => 'DisplayRIDs');
    save($body);
    print "Content-Type=" . shown($type) . "\n";
} elsif ($action eq 'delete') {
    fail(2, "--rid is required") unless $o{rid};
    drop($o{rid});
} else {
    # A search taken up by its RID may have been polled by whoever submitted it a moment ago:
    # its first status request waits a poll interval too.
    $last_poll = time if defined $o{rid};
    my $rid = $o{rid} // submit();
    poll($rid);
    fetch($rid);
    drop($rid) if $o{delete};
}
exit 0;
