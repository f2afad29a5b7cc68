"""A request's fields, read and checked: the form, a submission, the report asked for."""
