// The system's error object: a domain, an integer code and an optional text
// for the technician.
export class KxError extends Error {
  constructor(domain, code, description = '') {
    super(description || `${domain} error ${code}`);
    this.domain = domain;
    this.code = code;
    this.description = description;
  }
}

// The one line the status shows for any failure.
export function describeError(error) {
  if (error instanceof KxError) {
    return error.description || `The operation couldn’t be completed. (${error.domain} error ${error.code}.)`;
  }
  return error?.message || String(error);
}
