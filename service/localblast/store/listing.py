"""What a list of the searches held shows of each, as plain records, so that a page listing
them need not reach into the store's jobs."""
import collections

# submitted: wall-clock seconds (time.time()); status: WAITING, READY or FAILED; error: a
# failed search's reason, else None.
Summary = collections.namedtuple("Summary", "rid program database query_title submitted status has_hits error")
TITLE_LENGTH = 200


def query_title(search):
    """The query's title as a person would know it: an identifier query's id and title, a FASTA
    query's first definition line; "" when the search cannot tell."""
    label = getattr(search, "label", None)
    if label:
        title = " ".join(part for part in label if part)
    else:
        text = getattr(search, "query_text", "") or ""
        title = text[1:text.find("\n")] if text.startswith(">") and "\n" in text else ""
    title = title.strip()
    return title if len(title) <= TITLE_LENGTH else title[:TITLE_LENGTH] + "..."


def summary(job, status, submitted):
    return Summary(job.rid, job.program, getattr(job.search, "database", "") or "", job.title,
                   submitted, status, job.has_hits, job.error)
